#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a Windows program under Wine with the system's DPI set as a user sets it (LogPixels: 96 is
# 100 %, 144 is 150 %), in a new private prefix, on the X display it is given.
#
#   at-dpi.sh DPI PROGRAM [ARGS...]
set -uo pipefail
dpi=$1
shift
command -v wine >/dev/null || { echo "skipped: wine is not installed" >&2; exit 77; }
export WINEPREFIX
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/ll-wine-dpi.XXXXXX")
trap 'wineserver -k 2>/dev/null; wineserver --wait 2>/dev/null; rm -rf "$WINEPREFIX"' EXIT
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
"$(dirname "$0")/../../cmake/wine-new-prefix.sh" "$WINEPREFIX"
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
wineserver --wait
wine "$@"
