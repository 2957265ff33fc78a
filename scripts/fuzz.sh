#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (with ASan+UBSan) into build-fuzz/
# and runs each for a short while: FUZZ_SECONDS per target (default 20).
# The corpora grow in build-fuzz/corpus/; the seeds are in fuzz/seeds and share/.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
seconds="${FUZZ_SECONDS:-20}"
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKVX_BUILD_FUZZ=ON -DKVX_BUILD_TESTS=OFF \
  -DKVX_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build-fuzz -j"${KVX_JOBS:-2}" fuzz_config_image fuzz_ini fuzz_language

run() {
  local name="$1" maxlen="$2"; shift 2
  mkdir -p "build-fuzz/corpus/$name"
  echo "fuzz.sh: $name for ${seconds}s"
  "build-fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len="$maxlen" -print_final_stats=0 \
    "build-fuzz/corpus/$name" "$@"
}
run config_image 70000
run ini 4096 fuzz/seeds/ini
run language 8192 share/Lang
