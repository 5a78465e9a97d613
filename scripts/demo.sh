#!/usr/bin/env bash
# Sets everything up, builds the updater and shows it at work.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)" --target updater
build/ci/updater -h
