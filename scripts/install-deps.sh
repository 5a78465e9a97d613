#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the virtual device lab need.
set -euo pipefail
packages=(cmake g++ make pkg-config git clang-format libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev
          zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev iproute2 curl coreutils procps openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
