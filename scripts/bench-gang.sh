#!/usr/bin/env bash
# A tray of boards from one mx7410-flash process: a 64 KiB update on N = 1, 4
# and 16 simulators pacing a 38400-baud line, all flashed at once. Reports
# the wall time against one board, the process's CPU time as a share of the
# wall time, and every simulator's check of its memory against the file.
# For comparison: two processes of one board each.
#
#   scripts/bench-gang.sh [BUILD_DIR [SIZE_BYTES [READ_GAP_MS]]]   (read gap: default 100)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
size=${2:-65536}
gap=${3:-100}  # the default read gap, as in the window
baud=38400
source scripts/simulator-common.sh bench-gang "$build"

image="$work/image.hex"
firmware/make-sample.py --size "$size" -o "$image"

sims=()
# Starts `count` simulators named PREFIX1..; sets `ports`.
serve() {
  local prefix=$1 count=$2
  ports=()
  sims=()
  for i in $(seq "$count"); do
    "$sim" --port-dir "$work/ports" --name "$prefix$i" --baud "$baud" --verify "$image" --exit-after-end \
      >"$work/$prefix$i.out" 2>&1 &
    sims+=($!)
    ports+=("$work/ports/$prefix$i")
  done
  for port in "${ports[@]}"; do wait_for_port "$port" 200; done
}

# Waits for the simulators; sets `matched` to how many found their memory
# equal to the file, of how many.
verdicts() {
  local count=0
  for pid in "${sims[@]}"; do
    if wait "$pid"; then count=$((count + 1)); fi
  done
  matched="$count/${#sims[@]}"
}

printf '%s bytes at %s baud, read gap %s ms\n' "$size" "$baud" "$gap"
printf '%-22s %8s %9s %8s %8s %12s\n' "boards" "wall s" "vs one" "CPU s" "CPU %" "memory ok"
one=""
for count in 1 4 16; do
  serve "n${count}_" "$count"
  args=()
  for port in "${ports[@]}"; do args+=(--port "$port"); done
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$flash" --quiet --read-gap "$gap" "${args[@]}" update "$image" \
    >"$work/flash.out" || true
  read -r wall user system <"$work/time"
  [ -n "$one" ] || one=$wall
  verdicts
  scripts/bench_report.py gang-row "$count" "$wall" "$user" "$system" "$one" "$matched"
done

serve "two_" 2
start=$(date +%s.%N)
for port in "${ports[@]}"; do
  "$flash" --quiet --read-gap "$gap" --port "$port" update "$image" >"$work/$(basename "$port").flash" &
done
for job in $(jobs -p); do
  case " ${sims[*]} " in *" $job "*) ;; *) wait "$job" || true ;; esac
done
end=$(date +%s.%N)
verdicts
scripts/bench_report.py gang-processes-row "$start" "$end" "$one" "$matched"
