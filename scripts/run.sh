#!/usr/bin/env bash
# The run command: installs what is missing, builds, starts the simulated
# Mx7410 bootloader and opens the updater's window on it. The window finds
# the simulator's port with "Auto select comport" on; closing the window
# stops the simulator. Without a display the sample firmware is flashed with
# the command-line tool instead.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# ---- no display: the command-line route -----------------------------------
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  if [ -x scripts/flash-sample.sh ]; then
    cmake --build build -j2 --target mx7410-sim mx7410-flash
    exec scripts/flash-sample.sh build "$@"
  fi
  echo "run.sh: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "The updater's window needs one: run this from a desktop session," >&2
  echo "or under a virtual display, e.g. 'xvfb-run -a scripts/run.sh'." >&2
  exit 1
fi

# ---- with a display: simulator plus window --------------------------------
cmake --build build -j2 --target mx_7410Update mx7410-sim

# The window looks for the simulator's port in the same directory: the one
# named by MX7410_PORT_DIR, else $XDG_RUNTIME_DIR/mx7410, else /tmp/mx7410-<uid>.
if [ -z "${MX7410_PORT_DIR:-}" ]; then
  if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
    MX7410_PORT_DIR="$XDG_RUNTIME_DIR/mx7410"
  else
    MX7410_PORT_DIR="/tmp/mx7410-$(id -u)"
  fi
fi
export MX7410_PORT_DIR

build/tools/sim/mx7410-sim --port-dir "$MX7410_PORT_DIR" &
sim_pid=$!
stop_simulator() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
}
trap stop_simulator EXIT

echo "Simulated Mx7410 bootloader running (pid $sim_pid, ports in $MX7410_PORT_DIR)."
build/src/app/qt/mx_7410Update
