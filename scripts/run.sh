#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds (Release) and starts LinkLoader.
#   ./scripts/run.sh          the window, talking to the real COM ports
#   ./scripts/run.sh --demo   the window, with the module simulator on a pseudo-terminal as COM1
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target linkloader linkloader-sim linkloader-hexfw

bin=build/release
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: starting a private X server (Xvfb :77); screenshots: import -display :77 -window root shot.png"
  Xvfb :77 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  trap 'kill $xvfb_pid 2>/dev/null || true' EXIT
  export DISPLAY=:77
  sleep 1
fi

if [ "${1:-}" = "--demo" ]; then
  link="${XDG_RUNTIME_DIR:-/tmp}/linkloader-demo-com1"
  "$bin/tools/sim/linkloader-sim" --link "$link" --baud 9600 --block-ms 4 --version "DEMO v1.00 2026 " &
  sim_pid=$!
  trap 'kill $sim_pid 2>/dev/null || true; kill ${xvfb_pid:-0} 2>/dev/null || true' EXIT
  for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
  export LINKLOADER_COM1="$link"
  echo "Module simulator on $link (COM1). Try: Open file -> examples/demo.hexfw, Write, Read."
fi
"$bin/src/app/linkloader"
