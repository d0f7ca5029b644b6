#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a cross-built Windows program under Wine, in a private prefix in the build folder and
# without Wine's debug chatter. The prefix is set up once (a copy of the cached booted one), under
# a lock, so that tests started side by side do not set it up twice.
set -euo pipefail
exe=$1
shift
build=$(cd "$(dirname "$exe")" && pwd)
while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
# No .NET or HTML engine prompts while the prefix is set up: console programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  flock "$build/wineprefix.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || "$0" "$WINEPREFIX"' \
    "$(dirname "$0")/wine-new-prefix.sh"
fi
exec wine "$exe" "$@"
