#!/usr/bin/env bash
# Decoding beside mpg123, measured by bench_decode (CPU time from wait4 and of
# the decoding thread, interleaved rounds, min and median, ratio of medians).
#   bench/decode/compare_mpg123.sh [FILE.mp3]    (default: a synthesised 60 s CBR file)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
exec "$build"/bin/bench_decode "$@"
