#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the fuzz preset and runs every libFuzzer target for the given number of seconds each
# (default 30), under AddressSanitizer and UndefinedBehaviorSanitizer. Fails on any crash, leak,
# sanitizer report or broken property. Usage: ./scripts/fuzz.sh [seconds] [target...]
# New inputs are kept in a scratch corpus, so the small seed corpora in fuzz/corpus stay as they
# are; an input that fails is saved as build/fuzz/crash-<target>-*.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(hexfw_loader hex_loader program_list config_record sim_frames)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t"
  log=build/fuzz/fuzz-$t.log
  if build/fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="build/fuzz/crash-$t-" \
      "$scratch/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
    echo "fuzz $t: ${execs:-?} executions in ${seconds} s, no finding"
  else
    echo "fuzz $t: FAILED, log in $log"
    grep -E -A25 'ERROR|runtime error|property violated|deadly signal' "$log" | head -60 || tail -40 "$log"
    status=1
  fi
done
exit $status
