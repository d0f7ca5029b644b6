#!/usr/bin/env bash
# Installs what is missing, builds three ways and runs every test through ctest:
#   release  - every test, benchmarks built (not run)
#   asan     - every test under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan     - the threaded tests (serial, simulator, device link) under ThreadSanitizer
#   fuzz     - every libFuzzer target for LL_FUZZ_SECONDS (30) each, via scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
presets=(release asan tsan fuzz)
[ $# -gt 0 ] && presets=("$@")
for p in "${presets[@]}"; do
  echo "=== build: $p"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" -j "$jobs"
done
status=0
for p in "${presets[@]}"; do
  echo "=== tests: $p"
  if [ "$p" = fuzz ]; then
    ./scripts/fuzz.sh "${LL_FUZZ_SECONDS:-30}" || status=1
    continue
  fi
  run=()
  # ThreadSanitizer's runtime in g++ 12 cannot map its shadow memory on kernels with more address
  # randomisation bits than it expects; running without randomisation avoids that everywhere.
  if [ "$p" = tsan ] && command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    run=(setarch "$(uname -m)" -R)
  fi
  "${run[@]}" ctest --preset "$p" -j "$jobs" --timeout 600 || status=1
done
exit $status
