#!/usr/bin/env bash
# Builds everything and starts the player on a short demo MP3 that our own code
# synthesises. For now the player is the `pelu` command line: it plays the demo
# with `pelu play` on the default sound device, or, on a machine without a sound
# card, on the simulated device (at real time, silently).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"

demo=build/demo.mp3
[ -f "$demo" ] || build/bin/pelu-make-demo "$demo"
if grep -qs '^ *[0-9]' /proc/asound/cards; then
  device=alsa
else
  echo "no sound card found: playing $demo on the simulated device"
  device=sim:1
fi
build/bin/pelu play --device "$device" "$demo"
