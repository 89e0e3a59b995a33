#!/usr/bin/env bash
# Refreshes docs/screenshot.png from the real window: builds Velomire (Release), shows it
# on a private Xvfb display with a private, empty JACK server (so the lists show "Not
# Enabled" and no warning appears) and no saved settings,
# and crops the capture to the window.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${RUN_PACKAGES[@]}" xvfb x11-apps imagemagick fonts-liberation jackd2

# Same configuration as scripts/package.sh, so the two share one build.
build="$VELOMIRE_ROOT/build-package"
cmake -S "$VELOMIRE_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DVELOMIRE_TESTS=OFF -DVELOMIRE_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(jobs)" --target velomire

# The window is fixed-size and centres itself; with no window manager there is no frame.
screen_w=1024 screen_h=768 win_w=725 win_h=358
win_x=$(((screen_w - win_w) / 2)) win_y=$(((screen_h - win_h) / 2))

work="$(mktemp -d)"
xvfb_pid="" app_pid="" jack_pid=""
cleanup() {
  # Only what this script started.
  local pid
  for pid in $app_pid $jack_pid $xvfb_pid; do
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
display=":$(head -n 1 "$work/display")"
[ "$display" != ":" ] || { echo "screenshot.sh: Xvfb did not start" >&2; exit 1; }

# A private JACK server with no MIDI ports: a MIDI system, but no devices, even on a
# machine with ALSA hardware or another JACK server.
jack_name="velomire-screenshot-$$"
JACK_NO_AUDIO_RESERVATION=1 jackd -n "$jack_name" -d dummy -r 48000 -p 256 \
  >"$work/jack.log" 2>&1 &
jack_pid=$!
for _ in $(seq 100); do
  JACK_DEFAULT_SERVER="$jack_name" JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1 && break
  kill -0 "$jack_pid" 2>/dev/null || { cat "$work/jack.log" >&2; exit 1; }
  sleep 0.1
done

# A clean environment: no desktop theme or scaling, an empty working folder (so no saved
# settings load).
mkdir -p "$work/cwd" "$work/home"
(cd "$work/cwd" && exec env -i PATH=/usr/bin:/bin HOME="$work/home" LANG=C.UTF-8 \
  DISPLAY="$display" QT_QPA_PLATFORM=xcb JACK_NO_START_SERVER=1 \
  JACK_DEFAULT_SERVER="$jack_name" \
  "$build/velomire" --midi-api jack) >"$work/app.log" 2>&1 &
app_pid=$!

capture() { DISPLAY="$display" xwd -root -silent | convert xwd:- "$@"; }
pixel() { capture -format "%[pixel:p{$1,$2}]" info:; }
root="srgb(0,0,0)" # -br: a black root window

# Wait until the window is up and has stopped changing.
previous="" stable=0
for _ in $(seq 60); do
  sleep 0.5
  kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.log" >&2; exit 1; }
  [ "$(pixel $((win_x + 2)) $((win_y + 2)))" != "$root" ] || continue
  current="$(capture -crop "${win_w}x${win_h}+${win_x}+${win_y}" +repage rgb:- | md5sum)"
  if [ "$current" = "$previous" ]; then
    stable=$((stable + 1))
    [ "$stable" -ge 2 ] && break
  else
    stable=0
  fi
  previous="$current"
done
[ "$stable" -ge 2 ] || { echo "screenshot.sh: the window did not settle" >&2; exit 1; }

# The crop must hold exactly the window: the root shows just outside it.
if [ "$(pixel $((win_x - 1)) $((win_y - 1)))" != "$root" ] ||
  [ "$(pixel $((win_x + win_w)) $((win_y + win_h)))" != "$root" ] ||
  [ "$(pixel $((win_x + win_w - 1)) $((win_y + win_h - 1)))" = "$root" ]; then
  capture "png:${TMPDIR:-/tmp}/velomire-screen.png"
  echo "screenshot.sh: the window is not where expected (${win_w}x${win_h}+${win_x}+${win_y});" \
    "the whole screen is in ${TMPDIR:-/tmp}/velomire-screen.png" >&2
  exit 1
fi

# -strip drops timestamps, so an unchanged window gives an unchanged file.
out="$VELOMIRE_ROOT/docs/screenshot.png"
capture -crop "${win_w}x${win_h}+${win_x}+${win_y}" +repage -strip "png:$out"
echo "$out"
