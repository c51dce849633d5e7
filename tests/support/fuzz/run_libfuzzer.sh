#!/usr/bin/env bash
# Builds one libFuzzer target with clang and runs it for a while; the fuzzers'
# own run_fuzz.sh scripts call this.
#   run_libfuzzer.sh SOURCE_DIR TARGET BUILD_DIR SECONDS MAX_LEN [INPUT_DIR...]
# SOURCE_DIR holds the target's CMakeLists.txt. The corpus grows in
# BUILD_DIR/corpus; the input folders (seeds, past crashes) are run first. A
# crash, leak, hang (10 s) or broken invariant fails the run; the input is kept
# in BUILD_DIR/artifacts.
set -euo pipefail
source_dir="$1"
target="$2"
build="$3"
seconds="$4"
max_len="$5"
shift 5
mkdir -p "$build/corpus" "$build/artifacts"
if ! command -v clang++ >/dev/null; then
  echo "run_fuzz: clang++ is missing" >&2
  exit 1
fi
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 1 >/dev/null
# A small quarantine and short allocation stacks keep the runs fast.
export ASAN_OPTIONS="${FUZZ_ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=16:malloc_context_size=8}"
exec "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
  -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
  "$build/corpus" "$@"
