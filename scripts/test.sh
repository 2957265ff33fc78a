#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain build, then
# the same suite under ASan+UBSan and under TSan. KVX_QUICK=1 skips the two
# sanitizer builds (for a fast local loop; CI always runs them).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

run_suite() {
  local dir="$1"
  shift
  (cd "$dir" && ctest -j"$jobs" --output-on-failure --timeout 600 "$@")
}

bash scripts/build.sh
run_suite build

if [ "${KVX_QUICK:-0}" != "1" ]; then
  bash scripts/build.sh asan
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -LE rig
  bash scripts/build.sh tsan
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite build-tsan -LE rig
  bash scripts/fuzz.sh
fi
