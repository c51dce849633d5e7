#!/usr/bin/env bash
# What the band costs where it runs: CPU % of one core of the real pelu-browser
# (the browser process plus its page processes) on an X server (Xvfb, software
# OpenGL as on a machine without a GPU driver), in interleaved rounds:
#   no band     the browser without the band (nothing set up)
#   stopped     the browser with the band, stopped
#   playing     the band playing a 60 s title on the simulated device, which is
#               paced in real time, with the spectrum and both meters shown
#   peer        a mainstream player from Debian playing the same file, its
#               visualisation shown (audacious when installed; skipped otherwise)
# Each figure is CPU seconds over wall seconds of a measuring window that starts
# once the program has settled; the X server's share is printed beside it.
#
# Usage: bench/browser/cpu.sh [ROUNDS] [SECONDS] [BUILD_DIR]  (defaults: 3, 20, build)
#   PELU_BENCH_ENV="QT_USE_NATIVE_WINDOWS=1"  extra environment for the browser runs
#   PELU_BENCH_MODES="stopped playing"        only these modes
set -euo pipefail
cd "$(dirname "$0")/../.."
rounds="${1:-3}"
window_s="${2:-20}"
bin="$(realpath "${3:-build}")/bin"
settle_s=6
work="$(mktemp -d)"
pids_to_kill=()
cleanup() {
  for p in "${pids_to_kill[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# CPU ticks (user + system) of a process and all its descendants.
tree_ticks() {
  local total=0 pid
  for pid in $(descendants "$1") "$1"; do
    local t; t=$(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null || echo 0)
    total=$((total + t))
  done
  echo "$total"
}
descendants() {
  local child
  for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do echo "$child"; descendants "$child"; done
}
hz=$(getconf CLK_TCK)

display=":$((90 + RANDOM % 100))"
Xvfb "$display" -screen 0 1920x1200x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
pids_to_kill+=("$xvfb")
sleep 1
export DISPLAY="$display" LIBGL_ALWAYS_SOFTWARE=1 QT_QPA_PLATFORM=xcb QTWEBENGINE_DISABLE_SANDBOX=1 \
  PELU_WAVE_DEVICE=sim:1 PELU_MIXER=sim
unset DBUS_SESSION_BUS_ADDRESS

bus_out="$work/bus"
dbus-daemon --session --fork --print-address=1 --print-pid=1 >"$bus_out"
bus="$(sed -n 1p "$bus_out")"
pids_to_kill+=("$(sed -n 2p "$bus_out")")

# The peer plays through a private PipeWire with a null sink at the file's rate
# (paced in real time, no resampling), as on a desktop; the server's own CPU is
# not counted for it, as the simulated device's is not for the band.
peer_env=()
if command -v audacious >/dev/null && command -v pipewire >/dev/null; then
  pw_dir="$work/pw" && mkdir -p "$pw_dir" && chmod 700 "$pw_dir"
  peer_env=(XDG_RUNTIME_DIR="$pw_dir" PIPEWIRE_RUNTIME_DIR="$pw_dir")
  env "${peer_env[@]}" DBUS_SESSION_BUS_ADDRESS="$bus" pipewire >/dev/null 2>&1 &
  pids_to_kill+=("$!")
  for _ in $(seq 50); do [ -S "$pw_dir/pipewire-0" ] && break; sleep 0.1; done
  env "${peer_env[@]}" DBUS_SESSION_BUS_ADDRESS="$bus" wireplumber >/dev/null 2>&1 &
  pids_to_kill+=("$!")
  sleep 1
  env "${peer_env[@]}" pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=bench-sink
    media.class=Audio/Sink object.linger=true audio.position=[FL FR] audio.rate=44100 }' >/dev/null
fi

song="$work/title.mp3"
"$bin/bench_play" --write "$song" 60 >/dev/null

# A home per mode: only "band" is set up, so "none" is the plain browser.
make_home() {
  local home="$work/$1"
  mkdir -p "$home/runtime" && chmod 700 "$home/runtime"
  if [ "$1" = band ]; then
    env PELU_REGISTRY="$home/registry.sqlite" XDG_DATA_HOME="$home/data" "$bin/pelu" setup >/dev/null 2>&1
  fi
}
make_home none
make_home band

# Starts the browser of a mode in its home and bus; prints its pid.
start_browser() { # mode home
  local home="$work/$2"
  env PELU_REGISTRY="$home/registry.sqlite" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
    XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime" DBUS_SESSION_BUS_ADDRESS="$bus" \
    ${PELU_BENCH_ENV:-} "$bin/pelu-browser" >/dev/null 2>&1 &
  echo $!
}


# One measurement: prints "process_pct xserver_pct".
measure() { # pid
  local start x_start end x_end
  sleep "$settle_s"
  start=$(tree_ticks "$1"); x_start=$(tree_ticks "$xvfb")
  sleep "$window_s"
  end=$(tree_ticks "$1"); x_end=$(tree_ticks "$xvfb")
  awk -v a="$start" -v b="$end" -v xa="$x_start" -v xb="$x_end" -v hz="$hz" -v s="$window_s" \
    'BEGIN { printf "%.2f %.2f\n", (b - a) * 100 / hz / s, (xb - xa) * 100 / hz / s }'
}

run_mode() { # mode -> "pct xpct" or "-"
  local pid
  case "$1" in
    none) pid=$(start_browser none none) ;;
    stopped) pid=$(start_browser band band) ;;
    playing)
      pid=$(start_browser band band)
      local i
      for i in $(seq 50); do
        DBUS_SESSION_BUS_ADDRESS="$bus" playerctl -p pelu open "file://$song" 2>/dev/null && break
        sleep 0.2
      done
      ;;
    peer)
      [ "${#peer_env[@]}" -gt 0 ] || { echo "-"; return; }
      env HOME="$work/peer" XDG_CONFIG_HOME="$work/peer/config" DBUS_SESSION_BUS_ADDRESS="$bus" "${peer_env[@]}" \
        audacious -p "$song" >/dev/null 2>&1 &
      pid=$!
      ;;
  esac
  measure "$pid"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  sleep 1
}

read -r -a modes <<<"${PELU_BENCH_MODES:-none stopped playing peer}"
declare -A results xresults
for round in $(seq "$rounds"); do
  for mode in "${modes[@]}"; do
    read -r pct xpct <<<"$(run_mode "$mode")"
    [ "$pct" = "-" ] && continue
    results[$mode]+="$pct "
    xresults[$mode]+="$xpct "
    printf 'round %d %-8s %6s %% of a core (X server %s %%)\n' "$round" "$mode" "$pct" "$xpct" >&2
  done
done

stats() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END {
  if (NR == 0) { print "-"; exit }
  m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
  printf "min %6.2f  median %6.2f", v[1], m }'; }

echo "PELU Browser on Xvfb (software GL), ${rounds} rounds of ${window_s} s, % of one core (browser + page processes)"
for mode in "${modes[@]}"; do
  [ -n "${results[$mode]:-}" ] || { printf '%-8s not measured (needs audacious and pipewire: apt-get install audacious)\n' "$mode"; continue; }
  printf '%-8s %s   X server: %s\n' "$mode" "$(stats "${results[$mode]}")" "$(stats "${xresults[$mode]}")"
done
