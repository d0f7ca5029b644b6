#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks a built LinkLoader .deb from the outside: unpacks it into a temporary root and runs what
# a user would get, against the build tree and Debian's own validators.
#   tests/package/check_package.sh PATH/TO/linkloader_VERSION_ARCH.deb BUILD_DIR
# Every failed check is named; the exit status is 1 if any failed.
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 PACKAGE.deb BUILD_DIR" >&2; exit 2; }
deb=$(realpath "$1")
build=$(realpath "$2")
repo=$(realpath "$(dirname "$0")/../..")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

dpkg-deb -x "$deb" "$root/pkg" || { echo "FAIL: dpkg-deb -x $deb"; exit 1; }
usr=$root/pkg/usr

# The programs the package must hold; anything else in usr/bin (linkloader-cli) is checked alike.
required=(linkloader linkloader-hexfw linkloader-sim)
for program in "${required[@]}"; do
  [ -x "$usr/bin/$program" ] || fail "usr/bin/$program missing"
done
mapfile -t programs < <(cd "$usr/bin" && ls)

for program in "${programs[@]}"; do
  bin=$usr/bin/$program
  [ -f "$usr/share/man/man1/$program.1.gz" ] || fail "$program has no manual page"
  # An installed program must find its libraries in the system, never in a build folder.
  if grep -Eq 'RPATH|RUNPATH' <<<"$(readelf -d "$bin")"; then fail "$program carries a run path"; fi
  # Asked what it is, a program answers without a display (over SSH, in a script).
  out=$(cd "$root" && env -u LD_LIBRARY_PATH -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        "$bin" --help 2>/dev/null)
  rc=$?
  if [ $rc -ne 0 ] || ! grep -q "$program" <<<"$out"; then
    fail "$program --help: exit $rc, output without its name"
  else
    pass "$program --help"
  fi
done

# The window reports the package's version.
version=$(dpkg-deb -f "$deb" Version)
shown=$(cd "$root" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$usr/bin/linkloader" \
        --version 2>/dev/null)
[ "$shown" = "linkloader $version" ] || fail "linkloader --version says '$shown', package is $version"

# The installed tool on the installed example must load exactly what the build tree's tool loads
# from the repository's example.
examples=$usr/share/linkloader/examples
installed=$(cd "$root" && "$usr/bin/linkloader-hexfw" dump "$examples/demo.hexfw" --out "$root/installed")
built=$("$build/tools/hexfw/linkloader-hexfw" dump "$repo/examples/demo.hexfw" --out "$root/built")
if [ -z "$installed" ] || [ "$installed" != "$built" ]; then
  fail "dump output differs: installed '$installed', built '$built'"
fi
for image in flash.bin eeprom.bin config.bin; do
  if cmp -s "$root/installed/$image" "$root/built/$image" && [ -s "$root/built/$image" ]; then
    pass "dump $image"
  else
    fail "dump $image differs from the build tree's"
  fi
done

# Desktop entry: valid, its program installed and its icon in the hicolor theme.
mapfile -t desktops < <(ls "$usr"/share/applications/*.desktop 2>/dev/null)
[ ${#desktops[@]} -eq 1 ] || fail "expected one desktop entry, found ${#desktops[@]}"
for entry in "${desktops[@]}"; do
  desktop-file-validate "$entry" || fail "desktop-file-validate $(basename "$entry")"
  exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  icon=$(sed -n 's/^Icon=//p' "$entry")
  [ -x "$usr/bin/$exec_program" ] || fail "desktop entry runs '$exec_program', not installed"
  [ -f "$usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no scalable icon '$icon'"
  for size in 16 24 32 48 64 128 256; do
    [ -f "$usr/share/icons/hicolor/${size}x${size}/apps/$icon.png" ] || fail "no ${size}px icon '$icon'"
  done
done

# Metainfo: valid offline, and its provided binaries are exactly the installed programs.
mapfile -t metainfos < <(ls "$usr"/share/metainfo/*.metainfo.xml 2>/dev/null)
[ ${#metainfos[@]} -eq 1 ] || fail "expected one metainfo file, found ${#metainfos[@]}"
for metainfo in "${metainfos[@]}"; do
  appstreamcli validate --no-net "$metainfo" >/dev/null || fail "appstreamcli validate $(basename "$metainfo")"
  provided=$(sed -n 's/.*<binary>\(.*\)<\/binary>.*/\1/p' "$metainfo" | sort | tr '\n' ' ')
  listed=$(printf '%s\n' "${programs[@]}" | sort | tr '\n' ' ')
  [ "$provided" = "$listed" ] || fail "metainfo provides '$provided', package installs '$listed'"
done

# Lintian: no error and no warning (its informational tags are listed in the README).
if lintian --fail-on error,warning "$deb" 2> >(grep -v 'root privileges' >&2); then
  pass "lintian"
else
  fail "lintian reports errors or warnings"
fi

if [ $failures -ne 0 ]; then
  echo "package check: $failures failure(s) in $deb"
  exit 1
fi
echo "package check: $(basename "$deb") passed"
