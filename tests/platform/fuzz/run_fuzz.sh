#!/usr/bin/env bash
# Builds the registry file fuzzer with clang and runs it for a while.
#   run_fuzz.sh BUILD_DIR SECONDS
# The corpus grows in BUILD_DIR/corpus; the checked-in seeds are run first. A
# crash, leak, hang (10 s), or an export that does not come back the same fails
# the run; the input is kept in BUILD_DIR/artifacts.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
seconds="${2:-20}"
mkdir -p "$build/corpus" "$build/artifacts"
if ! command -v clang++ >/dev/null; then
  echo "run_fuzz: clang++ is missing" >&2
  exit 1
fi
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 1 >/dev/null
export ASAN_OPTIONS="${FUZZ_ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=16:malloc_context_size=8}"
exec "$build/registry_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
  -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
  "$build/corpus" "$here/seeds"
