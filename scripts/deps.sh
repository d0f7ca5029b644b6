#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what the build, the tests and the demo need from Debian's archive, once.
set -euo pipefail
packages=(
  g++ cmake ninja-build pkg-config ccache
  qt6-base-dev libgl-dev
  libgtest-dev
  python3 python3-intelhex
  libcli11-dev nlohmann-json3-dev
  xvfb imagemagick xdotool fonts-dejavu-core util-linux
  # the window's faces: MS Sans Serif and Tahoma look-alikes, Liberation Sans (also package deps)
  fonts-wine fonts-liberation
  # the Debian package and its check (scripts/package.sh, tests/package)
  dpkg-dev file lintian desktop-file-utils appstream
  # Windows cross build (windows-cross preset): compiler, GoogleTest sources, Wine for the tests
  mingw-w64 googletest wine
  # the window for Windows (windows-app preset): Qt's source comes from the archive (dpkg-source
  # unpacks it), NSIS makes the installer; Wine's own fonts (above) stand in for the Windows ones
  nsis
  # a window manager for the tests that need real frames; xcb headers and X inspection tools
  openbox libxcb1-dev libxcb-damage0-dev x11-utils
  # libFuzzer targets (fuzz preset)
  clang libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = 'install ok installed' ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
