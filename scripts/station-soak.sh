#!/usr/bin/env bash
# A production station under a long, random load: one `mx7410-flash station`
# process while 16 simulated boards appear and vanish at random. Each slot
# plugs a new board (a simulator under a name of its own, pacing a
# 38400-baud line), which either runs to the end, loses one reply (written
# again from the erase), or is pulled out mid-flash, then stays empty for a
# random while. First the idle station is measured with no board at all.
#
# Counts: boards that appeared, records in the log (one per board: must be
# equal), boards flashed, boards recorded "ok" whose memory differs from the
# file (must be 0), and the station's CPU share, idle and under load.
#
#   scripts/station-soak.sh [BUILD_DIR [SECONDS [SLOTS [SIZE_BYTES]]]]   (default: build 600 16 4096)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
seconds=${2:-600}
slots=${3:-16}
size=${4:-4096}
idle_seconds=20
source scripts/simulator-common.sh station-soak "$build"
source scripts/soak-common.sh

image="$work/image.hex"
firmware/make-sample.py --size "$size" -o "$image" >/dev/null
mkdir -p "$work/ports" "$work/boards"
export MX7410_PORT_DIR="$work/ports"

"$flash" station "$image" --json --read-gap 5 --wait 1 --log "$work/log.jsonl" >"$work/station.out" 2>"$work/station.err" &
station=$!
wait_for_text "$work/station.out" '"watching"' || true

idle_before=$(ticks "$station")
sleep "$idle_seconds"
idle_ticks=$(($(ticks "$station") - idle_before))

start=$(date +%s.%N)
load_before=$(ticks "$station")
deadline=$(($(date +%s) + seconds))
slot_pids=()
for i in $(seq "$slots"); do
  soak_slot "$work/ports" "$work/boards" "s$i" "$deadline" --verify "$image" &
  slot_pids+=($!)
done
wait "${slot_pids[@]}"
sleep 2  # the last records reach the log
load_ticks=$(($(ticks "$station") - load_before))
end=$(date +%s.%N)
kill -INT "$station"
status=0
wait "$station" || status=$?

scripts/bench_report.py soak-summary "$work" "$idle_ticks" "$idle_seconds" "$load_ticks" "$start" "$end" "$hz" "$status" "$slots"
