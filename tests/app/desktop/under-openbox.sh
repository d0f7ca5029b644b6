#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
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

home=$(mktemp -d)
xvfb=
wm=
cleanup_servers() {
  [ -n "$wm" ] && kill "$wm" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  [ -n "$xvfb" ] && wait "$xvfb" 2>/dev/null
  wm=
  xvfb=
}
cleanup() {
  cleanup_servers
  rm -rf "$home"
}
trap cleanup EXIT INT TERM

# Polls COMMAND... every 0.1 s until it succeeds; non-zero, with REASON in $why, after 10 s or
# once process PID has ended.
wait_for() {  # PID REASON COMMAND...
  pid=$1 why=$2 tries=0
  shift 2
  until "$@"; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] && kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
}
display_answers() {
  [ -s "$home/display" ] || return 1
  DISPLAY=":$(cat "$home/display")" xdotool getdisplaygeometry >/dev/null 2>&1
}
wm_announced() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
desktops() { xprop -root _NET_NUMBER_OF_DESKTOPS 2>/dev/null | sed -n 's/.* = //p'; }
desktops_known() { [ -n "$(desktops)" ]; }
desktops_are() { [ "$(desktops)" = "$1" ]; }
# openbox names itself on the root window before it has finished starting: a window mapped in
# between waits for the end of its start-up, and a program that reads the root's properties then
# misses some. A change of the desktop count, asked of it and seen on the root window, shows that
# its event loop runs; the count is then put back.
wm_serves() {
  wait_for "$wm" "openbox set no desktop count on $DISPLAY" desktops_known || return 1
  count=$(desktops)
  xdotool set_num_desktops $((count + 1))
  wait_for "$wm" "openbox did not answer on $DISPLAY" desktops_are $((count + 1)) || return 1
  xdotool set_num_desktops "$count"
  wait_for "$wm" "openbox did not answer on $DISPLAY" desktops_are "$count"
}

# Starts the server (it picks a free display itself: a number chosen here could be taken by
# another test's server starting at the same moment) and openbox with its packaged configuration
# (Alt+F4 closes), not a user's. Returns non-zero with the reason in $why.
start_desktop() {
  : >"$home/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$home/display" >/dev/null 2>&1 &
  xvfb=$!
  wait_for "$xvfb" "Xvfb could not start" display_answers || return 1
  export DISPLAY=":$(cat "$home/display")"
  HOME=$home XDG_CONFIG_HOME=$home/config openbox >/dev/null 2>&1 &
  wm=$!
  wait_for "$wm" "openbox could not start on $DISPLAY" wm_announced && wm_serves
}

attempt=0
until start_desktop; do
  attempt=$((attempt + 1))
  cleanup_servers
  if [ "$attempt" -ge 3 ]; then
    echo "skipped: $why" >&2
    exit 77
  fi
  echo "retrying: $why" >&2
done

QT_QPA_PLATFORM=xcb "$@"
exit $?
