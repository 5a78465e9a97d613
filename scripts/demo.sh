#!/usr/bin/env bash
# Sets everything up, builds the updater and shows it at work: a local update server with a
# small sample catalogue on a loopback port, and the build catalogue commands of one device
# against it (list the server's builds, download the recommended one, list the store).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)" --target updater sim_server

work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

build/ci/sim_server --sample >"$work/server.out" &
server_pid=$!
url=
for _ in $(seq 100); do
  url=$(sed -n 's/^READY //p' "$work/server.out")
  [ -n "$url" ] && break
  sleep 0.1
done
[ -n "$url" ] || { echo "the local update server did not start" >&2; exit 1; }

run() {
  echo
  echo "\$ updater $*"
  build/ci/updater -u "$url" -i "$work/store" "$@"
}
echo "Local update server at $url; store in $work/store/updater"
run -B -d 40F5849A
run -G -d 40F5849A
run -L -d 40F5849A
