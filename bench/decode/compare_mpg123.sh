#!/usr/bin/env bash
# Runs the chain's decode benchmark beside `mpg123 -t` on the same file and
# prints both speeds and their ratio (chain time / mpg123 time).
#   bench/decode/compare_mpg123.sh [FILE.mp3]    (default: a synthesised 180 s CBR file)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}
file=${1:-}
if [ -z "$file" ]; then
  file=$(mktemp --suffix=.mp3)
  trap 'rm -f "$file"' EXIT
  "$build"/bin/pelu-make-demo "$file" 180
fi
runs=5
best_mpg123=999999
for _ in $(seq $runs); do
  t=$( { /usr/bin/env time -f "%e %U %S" mpg123 -q -t "$file" >/dev/null; } 2>&1 | tail -1)
  # user + system seconds: the decoding work, whatever the machine's other load
  s=$(echo "$t" | awk '{print $2 + $3}')
  best_mpg123=$(echo "$s $best_mpg123" | awk '{print ($1 < $2) ? $1 : $2}')
done
json=$(PELU_BENCH_MP3="$file" "$build"/bin/bench_decode --benchmark_format=json 2>/dev/null)
python3 - "$file" "$best_mpg123" <<PY
import json, sys, subprocess
data = json.loads('''$json''')
b = data["benchmarks"][0]
chain_s = b["cpu_time"] / 1000.0           # ms per full decode (cpu time)
audio_s = b["audio_seconds"]
mpg = float(sys.argv[2])
print(f"file: {sys.argv[1]}  ({audio_s:.1f} s of audio)")
print(f"chain decode : {chain_s*1000:8.1f} ms CPU  ({audio_s/chain_s:7.1f} x real time)")
print(f"mpg123 -t    : {mpg*1000:8.1f} ms CPU  ({audio_s/mpg:7.1f} x real time)")
print(f"ratio chain/mpg123: {chain_s/mpg:.2f}")
PY
