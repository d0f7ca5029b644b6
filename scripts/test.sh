#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds each preset and runs its tests:
#   release  - every test through ctest, benchmarks built (the soak's short mode runs)
#   asan     - every test under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan     - the threaded tests (serial, simulator, device link) under ThreadSanitizer
#   windows-cross - the Windows build below the window (mingw-w64); its tests run under Wine, and
#              linkloader-hexfw.exe's dumps are compared with the Linux build's
#   fuzz     - every libFuzzer target for LL_FUZZ_SECONDS (30) each, via scripts/fuzz.sh
#   windows-app - the window for Windows against Qt for Windows (scripts/qt-windows.sh builds it
#              from Debian's source into a cache folder when it is missing, in the background
#              while the other presets build and test), the installer, and a session through
#              the installed window under Wine
# and, with release, builds the Debian package and checks it (tests/package/check_package.sh).
#   quick    - (named alone: ./scripts/test.sh quick) the release build and the tests that need
#              no line pacing, simulator, display or Wine: the inner loop's run, a few minutes.
# Each preset is built, then tested; a failure is reported at the end, after the other presets.
# Outside Wine the tests run with LL_TEST_JOBS_PER_CORE (4) jobs per core (most of them wait on the
# simulator, the line or timers), but those labelled timing (they bound how long something takes),
# which run afterwards, one at a time.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
export QT_QPA_PLATFORM=offscreen
cache=${XDG_CACHE_HOME:-$HOME/.cache}/linkloader
# A compiler cache outside the clone, keyed on paths relative to it: a fresh clone on a machine
# that has built the project before compiles only what changed.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_DIR="${CCACHE_DIR:-$cache/ccache}"
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-10G}"
  # Lookups by the compiler's own list of the headers it read, so a miss runs the compiler alone,
  # not the preprocessor first as well: on a new machine every compile is a miss.
  export CCACHE_DEPEND=1
fi
jobs=$(nproc)
wide=$((jobs * ${LL_TEST_JOBS_PER_CORE:-4}))
# windows-app last: on a machine without Qt for Windows it waits for that build, and the presets
# before it test while it builds.
presets=(release asan tsan windows-cross fuzz windows-app)
[ $# -gt 0 ] && presets=("$@")
declare -A seconds cpu
# Processor seconds (user + system) of everything this script has waited for so far: a new
# machine's run is bounded by its processor time over the cores, so each preset's share is shown.
# It sets cpu_now: times must run in this shell, not in a subshell, which has no children of its own.
times_file=$(mktemp "${TMPDIR:-/tmp}/linkloader-times.XXXXXX")
children_cpu() {
  times >"$times_file"
  cpu_now=$(tail -n 1 "$times_file" |
    awk '{ t = 0; for (i = 1; i <= 2; i++) { split($i, a, /[ms]/); t += a[1] * 60 + a[2] } printf "%d", t }')
}
status=0

# Qt for Windows, when its cache folder is missing, builds in the background from the start, at a
# lower priority: the other presets' tests mostly wait on a 9600-baud line and leave the cores to
# it. The windows-app preset waits for it.
qt_build_pid=""
qt_log=""
if [[ " ${presets[*]} " == *" windows-app "* ]] && ! ./scripts/qt-windows.sh --built >/dev/null; then
  qt_log=$(mktemp "${TMPDIR:-/tmp}/linkloader-qt-windows.XXXXXX")
  echo "=== Qt for Windows is not built yet: building it in the background (log: $qt_log)"
  ( TIMEFORMAT='=== Qt for Windows: %0R s, processor %0U s user + %0S s system'
    time QT_WINDOWS_JOBS=$jobs nice -n 10 ./scripts/qt-windows.sh ) >"$qt_log" 2>&1 &
  qt_build_pid=$!
fi
# Ended with the script: an interrupted run leaves no build going on behind it.
trap 'rm -f "$times_file"; [ -n "$qt_build_pid" ] && kill "$qt_build_pid" 2>/dev/null; true' EXIT

run_tests() {
  local p=$1
  if [ "$p" = fuzz ]; then
    ./scripts/fuzz.sh "${LL_FUZZ_SECONDS:-30}" || status=1
    return
  fi
  # ctest starts the tests that took longest last time first, from the build folder's record of
  # their times; a fresh clone has none, so the record is kept beside the compiler cache. Without
  # it, a minute-long test may start last and hold the whole pass up.
  local build_dir=build/$p costs=$cache/ctest-costs/$p.txt
  [ "$p" = quick ] && build_dir=build/release costs=$cache/ctest-costs/release.txt
  local record=$build_dir/Testing/Temporary/CTestCostData.txt
  if [ -f "$costs" ] && [ ! -f "$record" ]; then
    mkdir -p "$(dirname "$record")"
    cp "$costs" "$record"
  fi
  local run=()
  # ThreadSanitizer's runtime in g++ 12 cannot map its shadow memory on kernels with more address
  # randomisation bits than it expects; running without randomisation avoids that everywhere.
  if [ "$p" = tsan ] && command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    run=(setarch "$(uname -m)" -R)
  fi
  if [[ "$p" == windows-* ]]; then
    # Under Wine every test starts a Windows process: they compute, one per core.
    "${run[@]}" ctest --preset "$p" -j "$jobs" --timeout 600 || status=1
  else
    # Most tests sleep on the line, the simulator or a timer: several per core keep the cores
    # busy. The few that bound a duration run afterwards, alone on the machine.
    local test_preset=$p left_out=""
    [ "$p" = quick ] && test_preset=release left_out="paced|display|wine"
    "${run[@]}" ctest --preset "$test_preset" -LE "timing${left_out:+|$left_out}" -j "$wide" \
      --timeout 600 || status=1
    "${run[@]}" ctest --preset "$test_preset" -L timing ${left_out:+-LE "$left_out"} -j 1 \
      --timeout 600 || status=1
  fi
  if [ -f "$record" ]; then
    mkdir -p "$(dirname "$costs")"
    cp "$record" "$costs"
  fi
  if [ "$p" = windows-cross ]; then
    cmake --preset release >/dev/null
    cmake --build --preset release --target linkloader-hexfw -j "$jobs" >/dev/null
    tests/firmware/compare_hexfw_dumps.sh build/release/tools/hexfw/linkloader-hexfw \
      build/windows-cross/tools/hexfw/linkloader-hexfw.exe . || status=1
  fi
}

# Each preset is built and then tested before the next one builds.
for p in "${presets[@]}"; do
  echo "=== build: $p"
  started=$SECONDS
  children_cpu
  cpu_before=$cpu_now
  if [ "$p" = windows-app ]; then
    if [ -n "$qt_build_pid" ]; then
      echo "=== waiting for Qt for Windows (log: $qt_log)"
      wait "$qt_build_pid" || { tail -n 40 "$qt_log"; echo "Qt for Windows did not build" >&2; exit 1; }
      qt_build_pid=""
      tail -n 3 "$qt_log"
    fi
    QT_WINDOWS_JOBS=$jobs ./scripts/qt-windows.sh
    LINKLOADER_QT_WINDOWS=$(./scripts/qt-windows.sh --prefix)
    export LINKLOADER_QT_WINDOWS
  fi
  build=$p
  [ "$p" = quick ] && build=release
  cmake --preset "$build" >/dev/null
  if cmake --build --preset "$build" -j "$jobs"; then
    echo "=== tests: $p"
    run_tests "$p"
  else
    status=1
  fi
  seconds[$p]=$((SECONDS - started))
  children_cpu
  cpu[$p]=$((cpu_now - cpu_before))
done
for p in "${!seconds[@]}"; do
  printf '=== time: %s %d min %d s (build and tests), processor %d s\n' "$p" $((seconds[$p] / 60)) \
    $((seconds[$p] % 60)) "${cpu[$p]}"
done
# The Debian package, made from the release folder built above, unpacked and checked.
if [[ " ${presets[*]} " == *" release "* ]]; then
  echo "=== package"
  if deb=$(./scripts/package.sh); then
    tests/package/check_package.sh "$deb" build/release || status=1
  else
    status=1
  fi
fi
children_cpu
echo "=== time: all $((SECONDS / 60)) min $((SECONDS % 60)) s, processor $cpu_now s"
exit $status
