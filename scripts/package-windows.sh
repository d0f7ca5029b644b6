#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the Windows installer LinkLoader-<version>-setup.exe with Debian's NSIS from a finished
# windows-app build (cmake --build --preset windows-app).
#
#   scripts/package-windows.sh [build folder] [output folder]
#
# Defaults: build/windows-app and its package/ folder. Prints the installer's path last.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build/windows-app}" && pwd)"
out="${2:-$build/package}"

# The one version: project() in CMakeLists.txt.
version="$(sed -n 's/^project(LinkLoader VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "error: no x.y.z version in CMakeLists.txt's project()" >&2; exit 1; }

for file in src/app/linkloader.exe src/app/linkloader.ico tools/cli/linkloader-cli.exe tools/hexfw/linkloader-hexfw.exe \
            packaging/windows/linkloader-path.exe; do
  [ -f "$build/$file" ] || { echo "error: $build/$file is missing; build the windows-app preset first" >&2; exit 1; }
done
command -v makensis >/dev/null || { echo "error: makensis not found (Debian package nsis; scripts/deps.sh installs it)" >&2; exit 1; }

mkdir -p "$out"
installer="$out/LinkLoader-$version-setup.exe"
# makensis takes paths in the script's own syntax; forward slashes in defines would mix with the
# backslashes the script appends, which it accepts on Linux as well.
makensis -V2 -NOCD \
  -DVERSION="$version" \
  -DBUILD_DIR="$build" \
  -DSOURCE_DIR="$root" \
  -DOUTFILE="$installer" \
  "$root/packaging/windows/linkloader.nsi"
echo "$installer"
