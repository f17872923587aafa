#!/usr/bin/env bash
# Starts the window on a virtual X server and checks its title as the X
# server has it: exactly the language's title, with nothing appended.
#
#   scripts/check-window-title.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
window="$build/src/app/qt/mx_7410Update"
expected="Mx7410 Bootloader System(2012.11)"
[ -x "$window" ] || { echo "check-window-title: $window is missing" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$window" "$work/"  # its settings file goes beside it

# Lists the top-level windows once the main one is there, then closes it.
cat >"$work/look.sh" <<LOOK
"$work/mx_7410Update" >"$work/window.log" 2>&1 &
pid=\$!
# Qt's helper windows carry the name first; the main window is there once
# one carries the application's class.
for _ in \$(seq 300); do
  xwininfo -root -tree | grep -q '("mx_7410Update"' && break
  sleep 0.1
done
xwininfo -root -tree >"$work/tree"
kill \$pid
LOOK
MX7410_PORT_DIR="$work/none" QT_QPA_PLATFORM=xcb xvfb-run -a sh "$work/look.sh"

names=$(grep '"mx_7410Update"' "$work/tree" | sed -n 's/^ *0x[0-9a-f]* "\(.*\)": ("mx_7410Update".*/\1/p')
if ! printf '%s\n' "$names" | grep -qxF "$expected"; then
  echo "check-window-title: the X server shows the window as:" >&2
  printf '  "%s"\n' "$names" >&2
  exit 1
fi
echo "check-window-title: the X server shows \"$expected\""
