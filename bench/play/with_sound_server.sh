#!/usr/bin/env bash
# Runs a command against a private PipeWire with one 48 kHz null sink as the
# default sink (as the suite's sound-server tests do: its own runtime folder
# and D-Bus session, pipewire then wireplumber), then stops what it started.
# Usage: bench/play/with_sound_server.sh COMMAND [ARGS...]
#   e.g. bench/play/with_sound_server.sh env PELU_BENCH_DEVICE=alsa build/bin/bench_play --rounds 3 a48k.mp3
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
for tool in dbus-daemon pipewire wireplumber pw-cli wpctl; do
    command -v "$tool" >/dev/null || { echo "$0: $tool not found (scripts/packages)" >&2; exit 2; }
done
runtime=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$runtime"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR="$runtime" PIPEWIRE_RUNTIME_DIR="$runtime"
dbus-daemon --session --nofork --nopidfile --print-address=3 --address="unix:path=$runtime/bus" 3>"$runtime/bus.address" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$runtime/bus.address" ] && break; sleep 0.05; done
export DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus"
pipewire >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -S "$runtime/pipewire-0" ] && break; sleep 0.05; done
wireplumber >/dev/null 2>&1 &
pids+=($!)
pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=bench_sink media.class=Audio/Sink object.linger=true audio.position=[FL FR] audio.rate=48000 }' >/dev/null
for _ in $(seq 200); do
    wpctl inspect @DEFAULT_AUDIO_SINK@ 2>/dev/null | grep -q 'node.name = "bench_sink"' && break
    sleep 0.05
done
wpctl inspect @DEFAULT_AUDIO_SINK@ 2>/dev/null | grep -q 'node.name = "bench_sink"' ||
    { echo "$0: the null sink did not become the default sink" >&2; exit 1; }
"$@"
