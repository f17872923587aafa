# Sourced by the scripts that drive the simulated bootloader with
# mx7410-flash: checks both programs are built, makes a work directory, and
# on exit stops the simulator (whose pid the script keeps in sim_pid) and
# removes the work directory.
#
#   source scripts/simulator-common.sh SCRIPT_NAME BUILD_DIR
# sets: sim, flash, work, sim_pid; defines wait_for_port

sim="$2/tools/sim/mx7410-sim"
flash="$2/tools/flash/mx7410-flash"
for program in "$sim" "$flash"; do
  if [ ! -x "$program" ]; then
    echo "$1: $program is missing; build: cmake --build $2 --target mx7410-sim mx7410-flash" >&2
    exit 2
  fi
done

work=$(mktemp -d)
# A station records every board: in the work directory, not the user's records.
export XDG_DATA_HOME="$work/data"
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Waits until the simulator has published PATH, checking every 50 ms, TRIES
# times at most (default 100); the caller notices a port that never came.
wait_for_port() {  # PATH [TRIES]
  for _ in $(seq "${2:-100}"); do [ -e "$1" ] && return 0; sleep 0.05; done
  return 0
}
