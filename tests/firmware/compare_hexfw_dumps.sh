#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs `dump` of the Linux and the Windows build of linkloader-hexfw (the latter under Wine) on
# every sample, the demo and a few broken files, and fails on any difference: exit status,
# printed text (line ends aside: the Windows console writes CR LF) and the three image files.
#   compare_hexfw_dumps.sh LINUX_HEXFW WINDOWS_HEXFW_EXE SOURCE_DIR
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
src=$(realpath "$3")
wine_run=$src/cmake/wine-run.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

cp "$src"/tests/firmware/data/*.hex "$src"/tests/firmware/data/*.hexfw "$src"/examples/demo.hex* .
# Broken files: a wrong checksum, no end record, a lower-case digit.
sed '3s/..\r$/00\r/' basic.hex >bad_checksum.hex
grep -v ':00000001FF' basic.hex >no_end.hex
sed '2s/EF/ef/' basic.hex >lower_case.hex
for broken in bad_checksum no_end lower_case; do
  ! cmp -s basic.hex $broken.hex || { echo "$broken.hex is not broken"; exit 1; }
done

failures=0
run() {  # run NAME PROGRAM... ; leaves NAME.out, NAME.err, NAME.rc and the images in NAME/
  local name=$1
  shift
  mkdir -p "$name"
  set +e
  "$@" --out "$name" >"$name.out" 2>"$name.err"
  echo $? >"$name.rc"
  set -e
  tr -d '\r' <"$name.out" >"$name.out.txt"
  tr -d '\r' <"$name.err" >"$name.err.txt"
}
compared=0
for f in *.hex *.hexfw; do
  plain=()
  [[ $f == *.hex ]] && plain=(--plain)
  run "linux-$f" "$linux" dump "$f" "${plain[@]}"
  run "windows-$f" "$wine_run" "$windows" dump "$f" "${plain[@]}"
  for part in rc out.txt err.txt; do
    if ! cmp -s "linux-$f.$part" "windows-$f.$part"; then
      echo "DIFFERENT $part for $f:"
      diff "linux-$f.$part" "windows-$f.$part" || true
      failures=$((failures + 1))
    fi
  done
  for image in flash.bin eeprom.bin config.bin; do
    if [ -e "linux-$f/$image" ] || [ -e "windows-$f/$image" ]; then
      if ! cmp -s "linux-$f/$image" "windows-$f/$image"; then
        echo "DIFFERENT $image for $f"
        failures=$((failures + 1))
      fi
    fi
  done
  compared=$((compared + 1))
done
# Images written over those of another file replace them whole.
"$wine_run" "$windows" dump demo.hexfw --out windows-basic.hex >/dev/null
for image in flash.bin eeprom.bin config.bin; do
  if ! cmp -s "linux-demo.hexfw/$image" "windows-basic.hex/$image"; then
    echo "DIFFERENT $image after writing over older images"
    failures=$((failures + 1))
  fi
done
echo "linkloader-hexfw dump, Linux against Windows under Wine: $compared files, $failures differences"
[ "$compared" -ge 10 ] && [ "$failures" -eq 0 ]
