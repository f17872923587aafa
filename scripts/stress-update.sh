#!/usr/bin/env bash
# Runs many short jobs of mx7410-flash (updates, restores, updates after a
# refused erase, Update Wizard runs, images without data) against simulated
# bootloaders while two busy processes load the CPU, and counts the runs in
# which the device's memory or the frames it received differ from what the
# file requires. Exits 1 when any run does.
#
#   scripts/stress-update.sh [BUILD_DIR [RUNS]]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
runs=${2:-1000}
cmake --build "$build" -j2 --target update_stress mx7410-flash >/dev/null

source scripts/cpu-burners.sh

"$build/tools/bench/update_stress" "$build/tools/flash/mx7410-flash" "$runs"
