#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds LinkLoader's Debian package from the release build folder (only what is installed; a
# folder that ./scripts/test.sh has built is reused as it is) and prints the package's path.
# Build messages go to stderr, so that the one line on stdout is the path.
#   ./scripts/package.sh && sudo apt install ./build/release/package/linkloader_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh >&2
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target ll_installables >&2
log=$(cpack --config build/release/CPackConfig.cmake -G DEB 2>&1) || { echo "$log" >&2; exit 1; }
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' <<<"$log")
[ -f "$deb" ] || { echo "$log" >&2; echo "package.sh: no .deb was made" >&2; exit 1; }
echo "$deb"
