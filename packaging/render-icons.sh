#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the program's icon (linkloader.svg) into the PNG sizes of the hicolor theme under
# icons/NxN/. The PNGs are kept in the repository so that a build needs no SVG renderer; run this
# after changing the drawing (needs rsvg-convert, Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
sizes=(16 22 24 32 48 64 128 256)
for n in "${sizes[@]}"; do
  mkdir -p "icons/${n}x${n}"
  rsvg-convert --width "$n" --height "$n" --format png linkloader.svg -o "icons/${n}x${n}/linkloader.png"
done
echo "Rendered: ${sizes[*]}"
