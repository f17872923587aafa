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

image="$work/image.hex"
firmware/make-sample.py --size "$size" -o "$image" >/dev/null
mkdir -p "$work/ports" "$work/boards"
export MX7410_PORT_DIR="$work/ports"

# The station's CPU ticks so far (user + system), from /proc.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

"$flash" station "$image" --json --read-gap 5 --wait 1 --log "$work/log.jsonl" >"$work/station.out" 2>"$work/station.err" &
station=$!
for _ in $(seq 200); do grep -q '"watching"' "$work/station.out" && break; sleep 0.05; done

idle_before=$(ticks "$station")
sleep "$idle_seconds"
idle_ticks=$(($(ticks "$station") - idle_before))

# One slot: boards one after another until the deadline.
slot() {
  local slot=$1 deadline=$2 n=0
  while [ "$(date +%s)" -lt "$deadline" ]; do
    n=$((n + 1))
    local name="s${slot}_$n" faults=() pull=""
    case $((RANDOM % 10)) in
      0 | 1 | 2) faults=(--drop-reply $((RANDOM % 8 + 1))) ;;
      3) pull=$(printf '0.%d' $((RANDOM % 9 + 1))) ;;  # pulled out within a second
    esac
    "$sim" --port-dir "$work/ports" --name "$name" --baud 38400 --verify "$image" --exit-after-end "${faults[@]}" \
      >"$work/boards/$name.out" 2>&1 &
    local pid=$!
    if [ -n "$pull" ]; then
      sleep "$pull"
      kill "$pid" 2>/dev/null || true
      touch "$work/boards/$name.pulled"
    fi
    # A board the station never finishes (it should not happen) is pulled after 60 s.
    for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    sleep "$(printf '%d.%d' $((RANDOM % 3)) $((RANDOM % 10)))"
  done
}

start=$(date +%s.%N)
load_before=$(ticks "$station")
deadline=$(($(date +%s) + seconds))
slot_pids=()
for i in $(seq "$slots"); do
  slot "$i" "$deadline" &
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
