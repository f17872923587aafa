#!/usr/bin/env bash
# A line of production stations sharing one record store, under random
# boards and faults. PostgreSQL (the default): a throw-away server and 4
# stations (line-1 to line-4), 8 slots each; --sqlite: one station and 8
# slots on an SQLite file. Every station numbers its boards from one pool
# (a serial number in the first data bytes of firmware/sample.hex), and
# every simulated board checks its memory and reads its number back.
# Faults: at a third of the run one station is killed (SIGKILL) and started
# again under its name; at two thirds the server is stopped and started.
# At the end every station gets SIGTERM while its boards still run.
#
# Counts (from `records --json`, the stations' logs, the pool's tables and
# the boards): numbers given twice, numbers missing from the run, records
# per finished board, records lost, CPU per station, and how long a board
# waited for its number. Exit status 1 when a goal is missed.
#
#   scripts/line-soak.sh [--sqlite] [BUILD_DIR [SECONDS]]   (default: build 600)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=postgresql
if [ "${1:-}" = --sqlite ]; then
  mode=sqlite
  shift
fi
build=${1:-build}
seconds=${2:-600}
slots=8
pool=line-soak
serial_at=0x000000:u32le
image="$PWD/firmware/sample.hex"
source scripts/simulator-common.sh line-soak "$build"
source scripts/soak-common.sh

station_pids=()
starts=()
slot_pids=()
sampler=
pg_dir=
stop_everything() {
  # Every child but the stations and the sampler is a slot, including one
  # started just before an interrupt, whose pid was not kept yet.
  local pid slots_left=()
  for pid in $(jobs -p); do
    [[ " ${station_pids[*]} $sampler " == *" $pid "* ]] || slots_left+=("$pid")
  done
  stop_slots "${slots_left[@]}"
  slot_pids=()
  for pid in "${station_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${station_pids[@]}"; do
    kill_after "$pid" 30
    wait "$pid" 2>/dev/null || true
  done
  station_pids=()
  [ -z "$sampler" ] || { kill "$sampler" 2>/dev/null || true; wait "$sampler" 2>/dev/null || true; }
  sampler=
  [ -z "$pg_dir" ] || { scripts/pg-test-server.sh stop "$pg_dir" || true; rm -rf "$pg_dir"; }
  pg_dir=
  cleanup
}
trap stop_everything EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ "$mode" = postgresql ]; then
  stations=4
  pg_dir=$(mktemp -d)
  pg_port=$((56000 + $$ % 1000))
  scripts/pg-test-server.sh start "$pg_dir" "$pg_port" >/dev/null
  db="postgresql://mx@/mx_test?host=$pg_dir&port=$pg_port"
  pool_query() { psql -X -h "$pg_dir" -p "$pg_port" -U mx -d mx_test -At -c "$1"; }
else
  stations=1
  db="$work/records.sqlite"
  pool_query() { sqlite3 "$db" "$1"; }
fi

# Starts station N (again, after a kill: a new instance under the same name,
# on the same host folder, so its spool carries over).
start_station() {  # N
  local dir="$work/line-$1"
  mkdir -p "$dir/ports" "$dir/boards" "$dir/data"
  starts[$1]=$((${starts[$1]:-0} + 1))
  local instance=${starts[$1]}
  local out="$dir/station-$instance.out"
  XDG_DATA_HOME="$dir/data" MX7410_PORT_DIR="$dir/ports" "$flash" station "$image" --json --read-gap 5 --wait 1 \
    --serial "$serial_at" --pool "$pool" --db "$db" --station "line-$1" --log "$dir/log.jsonl" \
    >"$out" 2>"$dir/station-$instance.err" &
  station_pids[$1]=$!
  if ! wait_for_text "$out" '"watching"'; then
    echo "line-soak: station line-$1 did not start:" >&2
    cat "$dir/station-$instance.err" >&2
    exit 2
  fi
}

# Adds station N's CPU ticks so far to its count (read before it ends).
# A station that died on its own counts none; its exit status tells.
count_cpu() { echo "line-$1 $(ticks "${station_pids[$1]}" 2>/dev/null || echo 0)" >>"$work/cpu.txt"; }

sleep_until() { local left=$(($1 - $(date +%s))); [ "$left" -le 0 ] || sleep "$left"; }

for n in $(seq "$stations"); do start_station "$n"; done
(while :; do cut -d' ' -f1 /proc/loadavg >>"$work/load.txt"; sleep 5; done) &
sampler=$!

start=$(date +%s.%N)
begin=$(date +%s)
deadline=$((begin + seconds))
set -m  # each slot a process group of its own, for stop_slots
for n in $(seq "$stations"); do
  for i in $(seq "$slots"); do
    soak_slot "$work/line-$n/ports" "$work/line-$n/boards" "l${n}s$i" "$deadline" \
      --verify "$image" --verify-serial "$serial_at" &
    slot_pids+=($!)
  done
done
set +m

sleep_until $((begin + seconds / 3))
victim=$((RANDOM % stations + 1))
count_cpu "$victim"
kill -KILL "${station_pids[$victim]}" 2>/dev/null || true
wait "${station_pids[$victim]}" 2>/dev/null || true
start_station "$victim"
echo "line-$victim killed (SIGKILL) and started again at $(($(date +%s) - begin)) s" >>"$work/faults.txt"

if [ "$mode" = postgresql ]; then
  sleep_until $((begin + 2 * seconds / 3))
  scripts/pg-test-server.sh pause "$pg_dir"
  scripts/pg-test-server.sh resume "$pg_dir" "$pg_port"
  echo "server stopped and started again at $(($(date +%s) - begin)) s" >>"$work/faults.txt"
fi

sleep_until "$deadline"
for n in $(seq "$stations"); do
  count_cpu "$n"
  kill -TERM "${station_pids[$n]}" 2>/dev/null || true
done
for n in $(seq "$stations"); do
  status=0
  kill_after "${station_pids[$n]}" 60
  wait "${station_pids[$n]}" || status=$?
  echo "line-$n $status" >>"$work/exits.txt"
done
station_pids=()
end=$(date +%s.%N)
stop_slots "${slot_pids[@]}"
slot_pids=()

mkdir -p "$work/reader"
if ! XDG_DATA_HOME="$work/reader" "$flash" records --db "$db" --json >"$work/records.jsonl" 2>"$work/records.err"; then
  echo "line-soak: the records could not be read:" >&2
  cat "$work/records.err" >&2
  exit 1
fi
pool_query "SELECT 'next ' || next_number FROM pools WHERE name = '$pool';
  SELECT 'free ' || number FROM free_numbers WHERE pool = '$pool';
  SELECT 'reserved ' || number FROM reservations WHERE pool = '$pool';" >"$work/pool.txt"
for spool in "$work"/line-*/data/mx7410/spool-*.sqlite; do
  if [ -e "$spool" ]; then sqlite3 "$spool" "SELECT COUNT(*) FROM spooled_boards" >>"$work/spooled.txt"; fi
done

# LINE_SOAK_KEEP=DIR keeps the logs, outputs and tables there for a closer look.
[ -z "${LINE_SOAK_KEEP:-}" ] || cp -r "$work" "$LINE_SOAK_KEEP"
scripts/bench_report.py line-summary "$work" "$mode" "$start" "$end" "$hz" "line-$victim"
