#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes DEST a new private Wine prefix, as `wineboot --init` leaves one, by copying a prefix booted
# once per Wine version and kept in the cache folder beside the compiler cache. Booting a prefix
# costs several seconds of processor time; the Windows tests need a new one for each run.
#
#   wine-new-prefix.sh DEST
set -euo pipefail
dest=$1
cache=${XDG_CACHE_HOME:-$HOME/.cache}/linkloader
template=$cache/wine-prefix-$(wine --version | tr -c 'A-Za-z0-9.\n-' _)
mkdir -p "$cache" "$dest"
# One boots it while the others wait; a boot that was cut short is started again.
exec 9>"$template.lock"
flock 9
if [ ! -f "$template/.booted" ]; then
  rm -rf "$template" "$template.new"
  (
    # The same prefix whoever boots it: no caller's preload or locale goes into it.
    unset LD_PRELOAD
    export LC_ALL=C.UTF-8 WINEPREFIX=$template.new WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    wine wineboot --init >/dev/null 2>&1
    wineserver --wait
  )
  touch "$template.new/.booted"
  mv "$template.new" "$template"
fi
cp -a "$template/." "$dest/"
rm -f "$dest/.booted"
