#!/usr/bin/env bash
# How much CPU the updater uses while it only waits: mx7410-flash waiting 3 s
# for a silent device (a busy wait would burn all of it), and the window
# sitting idle for 5 s on the offscreen platform.
#
#   scripts/bench-idle.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
source scripts/simulator-common.sh bench-idle "$build"

"$sim" --silent --port-dir "$work/ports" --name silent >"$work/sim.out" 2>&1 &
sim_pid=$!
wait_for_port "$work/ports/silent"

/usr/bin/time -f "%e %U %S" -o "$work/time" "$flash" --port "$work/ports/silent" --wait 3 connect >/dev/null || true
read -r wall user system < <(tail -n 1 "$work/time")
printf 'mx7410-flash waiting 3 s for a silent device: wall %s s, CPU %s s user + %s s system\n' "$wall" "$user" "$system"

window="$build/src/app/qt/mx_7410Update"
if [ -x "$window" ]; then
  mkdir -p "$work/window"
  cp "$window" "$work/window/"
  QT_QPA_PLATFORM=offscreen MX7410_PORT_DIR="$work/none" "$work/window/mx_7410Update" >/dev/null 2>&1 &
  window_pid=$!
  sleep 1  # past the start-up
  ticks() { awk '{print $14 + $15}' "/proc/$window_pid/stat"; }
  before=$(ticks)
  sleep 5
  after=$(ticks)
  kill "$window_pid"
  wait "$window_pid" 2>/dev/null || true
  printf 'the window idle for 5 s: %s CPU ticks (%s per second)\n' "$((after - before))" "$(getconf CLK_TCK)"
fi
