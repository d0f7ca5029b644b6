#!/bin/sh
# Runs a test program on a private X server with a real window manager (openbox), for what the
# offscreen platform cannot show: window-manager close commands, minimised windows, activation.
#
#   tests/app/desktop/under-openbox.sh PROGRAM [ARGS...]
#
# Exits 77 (reported by ctest as skipped) with a message when Xvfb or openbox is missing or
# cannot start; otherwise with the program's status.
set -u

for tool in Xvfb openbox xdotool xprop xwininfo; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed" >&2; exit 77; }
done

display=91
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done
home=$(mktemp -d)
xvfb=
wm=
cleanup() {
  [ -n "$wm" ] && kill "$wm" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT INT TERM

Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$display"
tries=0
until xdotool getdisplaygeometry >/dev/null 2>&1; do
  tries=$((tries + 1))
  if [ "$tries" -ge 100 ] || ! kill -0 "$xvfb" 2>/dev/null; then
    echo "skipped: Xvfb could not start on $DISPLAY" >&2
    exit 77
  fi
  sleep 0.1
done

# openbox with its packaged configuration (Alt+F4 closes), not a user's.
HOME=$home XDG_CONFIG_HOME=$home/config openbox >/dev/null 2>&1 &
wm=$!
tries=0
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
  tries=$((tries + 1))
  if [ "$tries" -ge 100 ] || ! kill -0 "$wm" 2>/dev/null; then
    echo "skipped: openbox could not start on $DISPLAY" >&2
    exit 77
  fi
  sleep 0.1
done

QT_QPA_PLATFORM=xcb "$@"
status=$?
exit $status
