#!/usr/bin/env bash
# Configures and builds one flavour of the station into build[-FLAVOUR].
#   scripts/build.sh            -> build/       (RelWithDebInfo, warnings as errors)
#   scripts/build.sh asan       -> build-asan/  (AddressSanitizer + UndefinedBehaviorSanitizer)
#   scripts/build.sh tsan       -> build-tsan/  (ThreadSanitizer)
set -euo pipefail
cd "$(dirname "$0")/.."
flavour="${1:-}"
case "$flavour" in
  "")   dir=build;      extra=() ;;
  asan) dir=build-asan; extra=(-DKVX_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan) dir=build-tsan; extra=(-DKVX_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  *) echo "build.sh: unknown flavour '$flavour' (use nothing, asan or tsan)" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja -DKVX_WERROR=ON "${extra[@]}" >/dev/null
ninja -C "$dir"
