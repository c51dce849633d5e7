#!/usr/bin/env bash
# Builds everything and starts the player on a short demo MP3 that our own code
# synthesises. For now the player is the `pelu` command line: it decodes the demo
# through the playing chain into build/demo.wav.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"

demo=build/demo.mp3
[ -f "$demo" ] || build/bin/pelu-make-demo "$demo"
build/bin/pelu decode "$demo" -o build/demo.wav
echo "decoded $demo to build/demo.wav"
