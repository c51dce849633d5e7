#!/usr/bin/env bash
# PELU Browser's start-up with and without the band, in a temporary home:
#   - milliseconds from process start to the first completed load, and to the band
#     in the toolbar (the band is created while that load is reported);
#   - resident memory (VmRSS) of the browser process, and of it with its page
#     processes, once the band is up (and 2 s later, settled).
# Usage: bench/browser/startup.sh [RUNS] [BUILD_DIR]   (defaults: 5, build)
# Runs on Qt's offscreen platform; the sound device is the simulated one.
set -euo pipefail
cd "$(dirname "$0")/../.."
runs="${1:-5}"
bin="$(realpath "${2:-build}")/bin"
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
export PELU_REGISTRY="$home/registry.sqlite" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
  XDG_CACHE_HOME="$home/cache" QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 \
  PELU_WAVE_DEVICE=sim:1 PELU_MIXER=sim
unset DBUS_SESSION_BUS_ADDRESS
"$bin/pelu" setup >/dev/null 2>&1

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
tree_rss_kib() {
  local total=0 pid
  for pid in $(ps -o pid= --ppid "$1") "$1"; do total=$((total + $(rss_kib "$pid"))); done
  for pid in $(ps -o pid= --ppid "$1"); do
    local child; for child in $(ps -o pid= --ppid "$pid"); do total=$((total + $(rss_kib "$child"))); done
  done
  echo "$total"
}

one_run() { # prints: loaded_ms band_ms rss_kib tree_rss_kib rss_settled tree_settled
  coproc B { exec "$bin/pelu-browser" --automation 2>/dev/null; }
  local pid=$B_PID line loaded="" band="-"
  while IFS= read -r -t 60 line <&"${B[0]}"; do
    case "$line" in
      "loaded 1 "*) [ -z "$loaded" ] && loaded="$(cut -d' ' -f3 <<<"$line")" ;;
      "band 1 "*) band="$(cut -d' ' -f3 <<<"$line")" ;;
      "navigated 1 "*) break ;;
    esac
  done
  local rss tree; rss="$(rss_kib "$pid")"; tree="$(tree_rss_kib "$pid")"
  sleep 2
  local rss2 tree2; rss2="$(rss_kib "$pid")"; tree2="$(tree_rss_kib "$pid")"
  echo quit >&"${B[1]}"
  wait "$pid" || true
  echo "$loaded $band $rss $tree $rss2 $tree2"
}

report() {
  echo "$1"
  echo "  run  loaded_ms  band_ms  band-loaded_ms  rss_kib  with_pages_kib  rss_2s_kib  with_pages_2s_kib"
  for i in $(seq 1 "$runs"); do
    read -r loaded band rss tree rss2 tree2 < <(one_run)
    delta="-"; [ "$band" != "-" ] && delta="$(awk -v a="$band" -v b="$loaded" 'BEGIN {printf "%.1f", a - b}')"
    printf "  %3d  %9s  %7s  %14s  %7s  %14s  %10s  %17s\n" "$i" "$loaded" "$band" "$delta" "$rss" "$tree" "$rss2" "$tree2"
  done
}

report "with the band (registered):"
"$bin/pelu" regsvr -u "$bin/libPELU.so" >/dev/null
report "without the band (unregistered):"
