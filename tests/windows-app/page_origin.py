#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Where the first page of the window begins, found in a screenshot of the window just started.

The controls' places are known relative to their page, but the page control's tabs and frame
take the height the system's style gives them. The log box (meLog: at 4,8 on the first page,
194x89, empty at start) is the first tall white area down the window at x=100; its inside corner,
less the box's place and its frame, is the page's origin. Prints "X Y".

Usage: page_origin.py SCREENSHOT.png
"""
import re
import subprocess
import sys

LOG_BOX_X, LOG_BOX_Y, FRAME = 4, 8, 1

pixels = {}
text = subprocess.run(["convert", sys.argv[1], "-alpha", "off", "-depth", "8", "txt:-"],
                      capture_output=True, text=True, check=True).stdout
for line in text.splitlines()[1:]:
    m = re.match(r"(\d+),(\d+): \((\d+),(\d+),(\d+)", line)
    if m:
        x, y, r, g, b = map(int, m.groups())
        pixels[x, y] = min(r, g, b)


def white(x, y):
    return pixels.get((x, y), 0) >= 250


try:
    top = next(y for y in range(300) if all(white(100, y + k) for k in range(60)))
    left = next(x for x in range(100) if all(white(x + k, top + 20) for k in range(80)))
except StopIteration:
    sys.exit("no empty log box in " + sys.argv[1])
print(left - LOG_BOX_X - FRAME, top - LOG_BOX_Y)
