#!/usr/bin/env bash
# Flashes firmware/sample.hex into a simulated Mx7410 bootloader with
# mx7410-flash, without a display or hardware, and checks the simulator's
# flash memory against the file.
#
#   scripts/flash-sample.sh [BUILD_DIR [mx7410-flash options...]]
#
# BUILD_DIR defaults to build and must hold mx7410-sim and mx7410-flash.
# Exit status: mx7410-flash's own when the update fails, 1 when the memory
# differs from the file, 0 when both are fine.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
shift || true
source scripts/simulator-common.sh flash-sample "$build"
firmware=firmware/sample.hex

# The simulator publishes its port here; mx7410-flash lists such ports after
# the host's own, so its automatic choice (the last port) is the simulator.
export MX7410_PORT_DIR="$work/ports"
mkfifo "$work/sim.out"
"$sim" --port-dir "$MX7410_PORT_DIR" --verify "$firmware" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
exec 3<"$work/sim.out"
# Its first line names the port, once it is published.
if ! read -r -t 10 serving <&3; then
  echo "flash-sample: the simulator did not start" >&2
  cat "$work/sim.err" >&2
  exit 1
fi
echo "$serving"

echo "== mx7410-flash update $firmware"
flash_status=0
"$flash" "$@" update "$firmware" || flash_status=$?
echo "== mx7410-flash exit status: $flash_status"

# On SIGINT the simulator compares its memory with the file, says so and ends.
kill -INT "$sim_pid"
while read -r line <&3; do echo "$line"; done
verify_status=0
wait "$sim_pid" || verify_status=$?
sim_pid=
cat "$work/sim.err" >&2

if [ "$flash_status" -ne 0 ]; then exit "$flash_status"; fi
if [ "$verify_status" -ne 0 ]; then
  echo "flash-sample: the simulator's memory does not match $firmware" >&2
  exit 1
fi
echo "flash-sample: $firmware written and verified"
