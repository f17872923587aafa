#!/usr/bin/env bash
# Runs the whole test suite RUNS times in a row with ctest -j2 while two busy
# processes load both cores, and counts the runs with a failure: a suite that
# waits for signals of readiness, never for guessed times, has none.
#
#   scripts/stress-tests.sh [BUILD_DIR [RUNS]]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
runs=${2:-20}
export QT_QPA_PLATFORM=offscreen

source scripts/cpu-burners.sh

failed=0
start=$(date +%s)
for run in $(seq "$runs"); do
  if ctest --test-dir "$build" -j2 --output-on-failure >"$build/stress-tests-$run.log" 2>&1; then
    echo "run $run: passed ($(grep -o '[0-9]* tests failed out of [0-9]*' "$build/stress-tests-$run.log"))"
    rm -f "$build/stress-tests-$run.log"
  else
    failed=$((failed + 1))
    echo "run $run: FAILED, see $build/stress-tests-$run.log"
    grep -E '^\s+[0-9]+ - ' "$build/stress-tests-$run.log" || true
  fi
done
echo "stress-tests: $runs runs in $(( $(date +%s) - start )) s, $failed with a failure"
[ "$failed" -eq 0 ]
