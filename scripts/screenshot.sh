#!/usr/bin/env bash
# Refreshes docs/screenshot.png and docs/calibration.png from a real run: Velomire (Release)
# on a private Xvfb display and a private JACK server, with a fake keyboard and sound module
# there (bench/screenshot_peer.cpp) and a Default setting that chooses them and bends the
# curves around the active key. First a chord is held and the window photographed; then
# Calibrate... is clicked, both passes are played on an uneven keyboard, the fit is made,
# and the calibration window photographed. The AppStream data points at both pictures.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${RUN_PACKAGES[@]}" libbenchmark-dev xvfb x11-apps xdotool imagemagick \
  fonts-liberation jackd2

build="$VELOMIRE_ROOT/build-screenshot"
cmake -S "$VELOMIRE_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DVELOMIRE_TESTS=OFF -DVELOMIRE_BENCH=ON >/dev/null
cmake --build "$build" -j"$(jobs)" --target velomire velomire_screenshot_peer

# The window is fixed-size and centres itself; with no window manager there is no frame.
screen_w=1024 screen_h=768 win_w=725 win_h=358
win_x=$(((screen_w - win_w) / 2)) win_y=$(((screen_h - win_h) / 2))
# The Calibrate... button's centre in the window (src/ui/main_window.ui).
calibrate_x=$((win_x + 16 + 97 / 2)) calibrate_y=$((win_y + 212 + 25 / 2))

fail() {
  echo "screenshot.sh: $*" >&2
  exit 1
}

work="$(mktemp -d)"
xvfb_pid="" app_pid="" jack_pid="" PEER_PID=""
cleanup() {
  # Only what this script started.
  local pid
  for pid in $app_pid $PEER_PID $jack_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# -displayfd lets the server pick a free display number and report it once it is ready.
Xvfb -displayfd 3 -screen 0 "${screen_w}x${screen_h}x24" -br -nolisten tcp \
  3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; exit 1; }
  sleep 0.1
done
export DISPLAY=":$(head -n 1 "$work/display")"
[ "$DISPLAY" != ":" ] || fail "Xvfb did not start"

# A private JACK server: only the fake instruments are there, even on a machine with MIDI
# hardware or another JACK server.
export JACK_DEFAULT_SERVER="velomire-screenshot-$$" JACK_NO_START_SERVER=1
JACK_NO_AUDIO_RESERVATION=1 jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 \
  >"$work/jack.log" 2>&1 &
jack_pid=$!
for _ in $(seq 100); do
  jack_lsp >/dev/null 2>&1 && break
  kill -0 "$jack_pid" 2>/dev/null || { cat "$work/jack.log" >&2; exit 1; }
  sleep 0.1
done

# The instruments, which also write the Default setting into the working folder.
mkdir -p "$work/cwd/cfg" "$work/home"
coproc PEER { exec "$build/bench/velomire_screenshot_peer" "$work/cwd" 2>"$work/peer.log"; }
tell() {
  local answer=""
  [ -z "${1:-}" ] || echo "$1" >&"${PEER[1]}"
  read -r -t 120 answer <&"${PEER[0]}" || true
  [ "$answer" = "${2:-done}" ] || { cat "$work/peer.log" >&2; fail "the peer did not answer '$1'"; }
}
tell "" ready

# A clean environment: no desktop theme or scaling.
(cd "$work/cwd" && exec env -i PATH=/usr/bin:/bin HOME="$work/home" LANG=C.UTF-8 \
  DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb JACK_NO_START_SERVER=1 \
  JACK_DEFAULT_SERVER="$JACK_DEFAULT_SERVER" \
  "$build/velomire" --midi-api jack) >"$work/app.log" 2>&1 &
app_pid=$!

capture() { xwd -root -silent | convert xwd:- "$@"; }
pixel() { capture -format "%[pixel:p{$1,$2}]" info:; }
root="srgb(0,0,0)" # -br: a black root window

# Waits until the area (WxH+X+Y, or the window with the id) has stopped changing.
settle() {
  local previous="" current stable=0
  for _ in $(seq 60); do
    sleep 0.5
    kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.log" >&2; exit 1; }
    if [[ "$1" == *x* ]]; then
      current="$(capture -crop "$1" +repage rgb:- | md5sum)"
    else
      current="$(xwd -id "$1" -silent | md5sum)"
    fi
    if [ "$current" = "$previous" ]; then
      stable=$((stable + 1))
      [ "$stable" -ge 2 ] && return 0
    else
      stable=0
    fi
    previous="$current"
  done
  fail "the window did not settle"
}

area="${win_w}x${win_h}+${win_x}+${win_y}"
for _ in $(seq 60); do
  [ "$(pixel $((win_x + 2)) $((win_y + 2)))" != "$root" ] && break
  sleep 0.5
done
settle "$area"
# The crop must hold exactly the window: the root shows just outside it.
if [ "$(pixel $((win_x - 1)) $((win_y - 1)))" != "$root" ] ||
  [ "$(pixel $((win_x + win_w)) $((win_y + win_h)))" != "$root" ] ||
  [ "$(pixel $((win_x + win_w - 1)) $((win_y + win_h - 1)))" = "$root" ]; then
  capture "png:${TMPDIR:-/tmp}/velomire-screen.png"
  fail "the window is not where expected ($area); the whole screen is in" \
    "${TMPDIR:-/tmp}/velomire-screen.png"
fi

# ---- The window at work: a chord held on the chosen keyboard ----
tell hold
settle "$area"
# -strip drops timestamps, so an unchanged window gives an unchanged file.
capture -crop "$area" +repage -strip "png:$VELOMIRE_ROOT/docs/screenshot.png"
tell release

# ---- A calibration: both passes played, then the fit ----
xdotool mousemove "$calibrate_x" "$calibrate_y" click 1
calibration="$(timeout 10 xdotool search --sync --name '^Calibrate the keyboard')" ||
  fail "the calibration window did not open"
xdotool windowfocus --sync "$calibration"
tell soft
# The buttons' own keys: Alt+R picks the firm pass, Alt+F fits.
xdotool key alt+r
tell firm
xdotool key alt+f
settle "$calibration"
xwd -id "$calibration" -silent | convert xwd:- -strip "png:$VELOMIRE_ROOT/docs/calibration.png"

echo "$VELOMIRE_ROOT/docs/screenshot.png"
echo "$VELOMIRE_ROOT/docs/calibration.png"
