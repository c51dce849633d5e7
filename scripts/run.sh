#!/usr/bin/env bash
# Builds everything, sets PELU up for this user (`pelu setup`: the band library
# registered, the storage folder filled), installs the desktop entry and the
# icon for this user, and starts PELU Browser with the band.
#
# On a machine without a display it says so and runs the browser under a virtual
# display (Xvfb) with the simulated sound device, plays a demo MP3 into the band's
# playlist for a few seconds (through the band's MPRIS2 service, on a private
# session bus), saves a picture of the window as a PNG and says where it is.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${PELU_RUN_HEADLESS:-}" = "1" ]; then
  # Inside the virtual display and the private bus (see below).
  shot="$PWD/build/pelu-browser.png"
  log="$PWD/build/pelu-browser.log"
  coproc BROWSER { build/bin/pelu-browser --automation 2>"$log"; }
  # Own copies of the pipes: bash drops the coprocess's when it ends.
  exec {from_browser}<&"${BROWSER[0]}" {to_browser}>&"${BROWSER[1]}"
  wait_for() {
    local line
    while IFS= read -r -t 120 line <&"$from_browser"; do
      case "$line" in "$1"*) echo "$line"; return 0 ;; esac
    done
    return 1
  }
  # "loaded 1 MS URL" comes first, then "band 1 MS ID ROW WxH gripper".
  loaded="$(wait_for "loaded 1 ")" || true
  if ! band="$(wait_for "band 1 ")"; then
    echo "the band did not appear in PELU Browser (see $log)" >&2
    exit 1
  fi
  read -r _ _ band_ms band_id band_row band_size _ <<<"$band"
  echo "first page loaded at $(cut -d' ' -f3 <<<"$loaded") ms after the start;" \
       "band $band_id ($band_size) in toolbar row $band_row at $band_ms ms"
  dbus-send --session --print-reply=literal --dest=org.mpris.MediaPlayer2.pelu /org/mpris/MediaPlayer2 \
    org.mpris.MediaPlayer2.Player.OpenUri "string:file://$PWD/$PELU_DEMO" >/dev/null
  echo "playing $PELU_DEMO in the band"
  sleep 4
  echo "screenshot 1 $shot" >&"$to_browser"
  wait_for "screenshot 1" >/dev/null || wait_for "error" >&2
  echo quit >&"$to_browser"
  wait "$BROWSER_PID" || true
  echo "screenshot of PELU Browser with the band: $shot"
  exit 0
fi

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"
build/bin/pelu setup

# The desktop entry and the icon (SVG and PNG sizes) for this user's menus and
# docks; each file is replaced whole.
data_home="${XDG_DATA_HOME:-$HOME/.local/share}"
for icon in $(cd build/share/icons && find hicolor -type f); do
  mkdir -p "$data_home/icons/$(dirname "$icon")"
  cp "build/share/icons/$icon" "$data_home/icons/$icon.tmp" && mv "$data_home/icons/$icon.tmp" "$data_home/icons/$icon"
done
mkdir -p "$data_home/applications"
sed "s|^Exec=pelu-browser|Exec=$PWD/build/bin/pelu-browser|" src/host/pelu-browser.desktop \
  >"$data_home/applications/pelu-browser.desktop.tmp"
mv "$data_home/applications/pelu-browser.desktop.tmp" "$data_home/applications/pelu-browser.desktop"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/bin/pelu-browser "$@"
fi

echo "no display: running PELU Browser under a virtual display (Xvfb) on the simulated sound device"
export PELU_DEMO=build/demo.mp3
[ -f "$PELU_DEMO" ] || build/bin/pelu-make-demo "$PELU_DEMO"
export PELU_RUN_HEADLESS=1 PELU_WAVE_DEVICE=sim:1 PELU_MIXER=sim
# The virtual display has no graphics card: the pages are drawn in software.
export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:-} --disable-gpu"
exec dbus-run-session -- xvfb-run -a -s "-screen 0 1280x800x24" bash "$0"
