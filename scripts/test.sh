#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: a warnings-as-errors build,
# the same suite under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# device link library's tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/format.sh --check
jobs=$(nproc)

run_preset() {
  local preset=$1; shift
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" "$@"
}

run_preset ci
ctest --test-dir build/ci --output-on-failure -j "$jobs"

run_preset asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

run_preset tsan --target axolon_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L link
