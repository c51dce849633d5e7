#!/usr/bin/env bash
# Builds one libFuzzer target with clang and runs it for a while; the fuzzers'
# own run_fuzz.sh scripts call this.
#   run_libfuzzer.sh TARGET BUILD_DIR SECONDS MAX_LEN [INPUT_DIR...]
# BUILD_DIR is a tree of the whole project configured for fuzzing (PELU_FUZZ),
# of which only TARGET and the units it links are built. The corpus grows in
# BUILD_DIR/corpus; the input folders (seeds, past crashes) are run first. A
# crash, leak, hang (10 s) or broken invariant fails the run; the input is kept
# in BUILD_DIR/artifacts.
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
target="$1"
build="$2"
seconds="$3"
max_len="$4"
shift 4
mkdir -p "$build/corpus" "$build/artifacts"
if ! command -v clang++ >/dev/null; then
  echo "run_fuzz: clang++ is missing" >&2
  exit 1
fi
# A folder configured for another source tree (or for a fuzzer's own project,
# as these folders once were) is configured afresh.
if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$build/CMakeCache.txt"; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
# Quiet when the build works; its whole log when it does not.
if ! log="$(cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
              -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELU_FUZZ=ON -DPELU_BUILD_TESTS=OFF -DPELU_BUILD_BENCH=OFF 2>&1 &&
            cmake --build "$build" --target "$target" -j 1 2>&1)"; then
  printf '%s\n' "$log" >&2
  echo "run_fuzz: building $target failed" >&2
  exit 1
fi
# A small quarantine and short allocation stacks keep the runs fast.
export ASAN_OPTIONS="${FUZZ_ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=16:malloc_context_size=8}"
exec "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
  -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
  "$build/corpus" "$@"
