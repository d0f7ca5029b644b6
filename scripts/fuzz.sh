#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the fuzz preset and runs every libFuzzer target under AddressSanitizer and
# UndefinedBehaviorSanitizer. Fails on any crash, leak, sanitizer report or broken property; an
# input that fails is saved as build/fuzz/crash-<target>-*.
#
#   ./scripts/fuzz.sh [seconds] [target...]
#       The short run (default 30 s each). New inputs go to a scratch corpus, so the corpora in
#       fuzz/corpus stay as they are.
#   ./scripts/fuzz.sh --campaign seconds [target...]
#       A long run. Afterwards the inputs it found that reach something the kept corpus does not
#       are merged into fuzz/corpus/<target> (libFuzzer's -merge=1 keeps the fewest and smallest),
#       ready to be committed. LL_FUZZ_RUNS=N ends a target's run early once it has made N
#       executions, so that a campaign given time for its slowest target frees the cores sooner.
#       LL_FUZZ_TIMEOUT (default 10 s) is how long one input may take before it counts as a hang;
#       a campaign sharing a busy machine at a low priority wants more, or a wait for the
#       processor is reported as a hang.
# Targets run side by side, one a core (LL_FUZZ_JOBS to choose); the report keeps their order.
set -euo pipefail
cd "$(dirname "$0")/.."
campaign=0
if [ "${1:-}" = --campaign ]; then
  campaign=1
  shift
  [ $# -gt 0 ] || { echo "usage: $0 --campaign seconds [target...]" >&2; exit 2; }
fi
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
# One target's run (and, in a campaign, its merge), its lines kept for the report in order.
fuzz_one() {
  local t=$1 log=build/fuzz/fuzz-$t.log fuzzer=build/fuzz/fuzz/fuzz_$t runs=()
  mkdir -p "$scratch/$t"
  [ $campaign -eq 1 ] && [ -n "${LL_FUZZ_RUNS:-}" ] && runs=(-runs="$LL_FUZZ_RUNS")
  if "$fuzzer" -max_total_time="$seconds" "${runs[@]}" -timeout="${LL_FUZZ_TIMEOUT:-10}" \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build/fuzz/crash-$t-" \
      "$scratch/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    local execs rate
    execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
    rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")
    echo "fuzz $t: ${execs:-?} executions within ${seconds} s (${rate:-?}/s), no finding"
  else
    echo "fuzz $t: FAILED, log in $log"
    grep -E -A25 'ERROR|runtime error|property violated|deadly signal' "$log" | head -60 || tail -40 "$log"
    return 1
  fi
  [ $campaign -eq 1 ] || return 0
  local before after merge_log=build/fuzz/merge-$t.log
  before=$(find "fuzz/corpus/$t" -type f | wc -l)
  "$fuzzer" -merge=1 -rss_limit_mb=2048 "fuzz/corpus/$t" "$scratch/$t" >"$merge_log" 2>&1 || {
    echo "fuzz $t: merge FAILED, log in $merge_log"
    return 1
  }
  after=$(find "fuzz/corpus/$t" -type f | wc -l)
  echo "fuzz $t: $((after - before)) of $(find "$scratch/$t" -type f | wc -l) new inputs kept;" \
    "fuzz/corpus/$t holds $after files, $(cat "fuzz/corpus/$t"/* | wc -c) bytes"
}

# A libFuzzer process uses one core: as many targets run at once as there are cores
# (LL_FUZZ_JOBS), each still for its full time.
parallel=${LL_FUZZ_JOBS:-$(nproc)}
declare -A pids
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  fuzz_one "$t" >"$scratch/$t.report" 2>&1 &
  pids[$t]=$!
done
status=0
for t in "${targets[@]}"; do
  wait "${pids[$t]}" || status=1
  cat "$scratch/$t.report"
done
exit $status
