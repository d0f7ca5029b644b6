#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Takes the documentation screenshots of the main window under a private X server.
#
#   tools/shots/screenshots.sh [path/to/linkloader] [output folder]
#
# Builds nothing: pass the built program (default: build/release/src/app/linkloader). Needs Xvfb,
# xdotool and import (imagemagick). Writes into docs/screenshots/ by default both pages of every
# language: programming-<language>.png and parameters-<language>.png for pl en de ru sk cz hu, and
# both pages in English and Hungarian (long captions) at 150 % and 200 % (QT_SCALE_FACTOR):
# programming-en-150.png, parameters-hu-200.png and so on.
#
# The program reads two variables meant for screenshots only, applied right after start-up as if
# the user had clicked: LINKLOADER_SHOT_LANG (language code, 0 Polish, 1 English, 3 Russian, ...)
# and LINKLOADER_SHOT_PAGE (0 programming page, 1 working parameters).
set -eu

here=$(cd "$(dirname "$0")/../.." && pwd)
program=${1:-$here/build/release/src/app/linkloader}
out=${2:-$here/docs/screenshots}
[ -x "$program" ] || { echo "no program at $program; build it first" >&2; exit 1; }
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
mkdir -p "$out"

# A display number nobody uses.
display=77
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
app=
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT INT TERM
export DISPLAY=":$display"
tries=0
until xdotool getdisplaygeometry >/dev/null 2>&1; do
  tries=$((tries + 1))
  [ "$tries" -lt 100 ] || { echo "Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done

shot() {  # shot <file> <language code> <page> [scale factor]
  LINKLOADER_SHOT_LANG=$2 LINKLOADER_SHOT_PAGE=$3 QT_SCALE_FACTOR=${4:-1} QT_QPA_PLATFORM=xcb \
    "$program" >/dev/null 2>&1 &
  app=$!
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^LINK LOADER$' | head -n 1)
  [ -n "$window" ] || { echo "the window did not appear" >&2; exit 1; }
  sleep 1  # let it paint
  import -window "$window" "$out/$1"
  kill "$app"
  wait "$app" 2>/dev/null || true
  app=
  echo "wrote $out/$1"
}

code=0
for language in pl en de ru sk cz hu; do
  shot "programming-$language.png" "$code" 0
  shot "parameters-$language.png" "$code" 1
  code=$((code + 1))
done
for scale in 150=1.5 200=2; do
  for language in en=1 hu=6; do
    shot "programming-${language%=*}-${scale%=*}.png" "${language#*=}" 0 "${scale#*=}"
    shot "parameters-${language%=*}-${scale%=*}.png" "${language#*=}" 1 "${scale#*=}"
  done
done
