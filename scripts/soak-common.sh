# Sourced by the soak scripts (station-soak.sh, line-soak.sh): the pieces
# that make simulated boards appear and vanish at random in a slot, and
# measure a process's CPU. Expects sim (from simulator-common.sh).

hz=$(getconf CLK_TCK)

# A process's CPU ticks so far (user + system), from /proc.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# Waits until FILE holds PATTERN, checking every 50 ms, 10 s at most; false
# when it never came.
wait_for_text() {  # FILE PATTERN
  for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}

# One slot: boards one after another until DEADLINE (epoch seconds). Each is
# a new simulator published as PREFIX_N in PORT_DIR, its output kept in
# BOARD_DIR/PREFIX_N.out; it runs to the end, loses one reply (written again
# from the erase), or is pulled out within a second (PREFIX_N.pulled), then
# the slot stays empty for up to three seconds. SIM_ARGS go to every
# simulator.
soak_slot() {  # PORT_DIR BOARD_DIR PREFIX DEADLINE SIM_ARGS...
  local port_dir=$1 board_dir=$2 prefix=$3 deadline=$4 n=0
  shift 4
  while [ "$(date +%s)" -lt "$deadline" ]; do
    n=$((n + 1))
    local name="${prefix}_$n" faults=() pull=""
    case $((RANDOM % 10)) in
      0 | 1 | 2) faults=(--drop-reply $((RANDOM % 8 + 1))) ;;
      3) pull=$(printf '0.%d' $((RANDOM % 9 + 1))) ;;  # pulled out within a second
    esac
    "$sim" --port-dir "$port_dir" --name "$name" --baud 38400 --exit-after-end "$@" "${faults[@]}" \
      >"$board_dir/$name.out" 2>&1 &
    local pid=$!
    if [ -n "$pull" ]; then
      sleep "$pull"
      kill "$pid" 2>/dev/null || true
      touch "$board_dir/$name.pulled"
    fi
    # A board the station never finishes (its station died with it) is pulled after 60 s.
    for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    sleep "$(printf '%d.%d' $((RANDOM % 3)) $((RANDOM % 10)))"
  done
}

# Gives PID up to SECONDS to end after a signal, then kills it: a process
# that does not stop must not hang the script.
kill_after() {  # PID SECONDS
  for _ in $(seq $(($2 * 10))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
}

# Ends slot loops at once, by their pids. Each must have been started as a
# job of its own (set -m): the whole group goes, the loop with its
# simulator and sleep, even a child still between fork and exec.
stop_slots() {  # PID...
  local pid
  for pid in "$@"; do
    kill -KILL -- "-$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
