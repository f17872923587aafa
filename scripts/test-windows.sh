#!/usr/bin/env bash
# The Windows build: cross-builds the core, the tests and mx7410-flash.exe
# with MinGW-w64, then runs them under Wine against COM ports that Wine maps
# to pseudo-terminals on this side:
#   COM5       a simulated bootloader (build/tools/sim/mx7410-sim)
#   COM8       another one, for an image across a 64 KiB boundary
#   COM6/COM7  the two ends of a null-modem cable (tests/win/host/null_modem.cpp)
# and to a throw-away PostgreSQL server on 127.0.0.1 (scripts/pg-test-server.sh)
# for the record store's tests. Runs every Windows test through ctest, then
# full updates with mx7410-flash.exe, and checks the images that the
# simulators received.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=build-win
linux_build=build
sim_port=COM5
boundary_port=COM8
modem_ports=(COM6 COM7)

# A developer's machine without the Windows tools skips this stage; CI never
# does: there a missing tool fails the run.
for tool in x86_64-w64-mingw32-g++-posix wine wineboot wineserver cmake ninja Xvfb xdotool import makensis minisign; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    if [ "${CI:-}" = "true" ]; then
      echo "test-windows: $tool is not installed (scripts/install-deps.sh installs it)" >&2
      exit 1
    fi
    echo "test-windows: skipped: $tool is not installed (scripts/install-deps.sh installs it)"
    exit 0
  fi
done
if ! ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
  [ "${CI:-}" = "true" ] && { echo "test-windows: PostgreSQL is not installed (scripts/install-deps.sh)" >&2; exit 1; }
  echo "test-windows: skipped: PostgreSQL is not installed (scripts/install-deps.sh installs it)"
  exit 0
fi

export WINEPREFIX="$root/$build/wineprefix"
source scripts/wine-common.sh
trap 'exit 130' INT TERM

# The record tests' PostgreSQL server, stopped however this script ends;
# cleanup (wine-common.sh) then sees the script's exit status as $?.
pg_dir=$(mktemp -d /tmp/mx7410-pg-win.XXXXXX)
pg_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
pg_db="host=127.0.0.1 port=$pg_port user=mx dbname=mx_test"
stop_pg_server() { scripts/pg-test-server.sh stop "$pg_dir" || true; rm -rf "$pg_dir"; }
trap 'status=$?; set +e; stop_pg_server; (exit "$status"); cleanup' EXIT

echo "-- libsodium, SQLite and libpq for Windows (built once, cached)"
sodium_prefix="$(scripts/build-libsodium-mingw.sh | tail -n 1)"
sqlite_prefix="$(scripts/build-sqlite-mingw.sh | tail -n 1)"
libpq_prefix="$(scripts/build-libpq-mingw.sh | tail -n 1)"
sqlite_options=(-DSQLite3_INCLUDE_DIR="$sqlite_prefix/include" -DSQLite3_LIBRARY="$sqlite_prefix/lib/libsqlite3.a")

echo "-- cross build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMX_BUILD_GUI=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DMX_SODIUM_PREFIX="$sodium_prefix" "${sqlite_options[@]}" \
  -DMX_LIBPQ_PREFIX="$libpq_prefix" -DMX_PG_TEST_DB="$pg_db" >/dev/null
cmake --build "$build" -j2
# SQLite and libpq are linked in: no program asks for their DLLs.
if x86_64-w64-mingw32-objdump -p "$build"/tools/flash/mx7410-flash.exe | grep -i -E 'DLL Name: .*(sqlite|libpq)'; then
  echo "test-windows: the record store needs a DLL of SQLite or libpq" >&2
  exit 1
fi

echo "-- Linux-side helpers"
sim="${MX7410_SIM:-$linux_build/tools/sim/mx7410-sim}"  # MX7410_SIM: another build of it
if [ ! -x "$sim" ]; then
  cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$linux_build" -j2 --target mx7410-sim
fi
null_modem="$build/host/mx-null-modem"
if [ ! -x "$null_modem" ] || [ tests/win/host/null_modem.cpp -nt "$null_modem" ]; then
  mkdir -p "$build/host"
  "${CXX:-c++}" -std=c++20 -O2 -Wall -Wextra -o "$null_modem" tests/win/host/null_modem.cpp
fi

echo "-- Wine prefix ($WINEPREFIX)"
wineserver -k 2>/dev/null || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "${launcher[@]}" wineboot -i 2>/dev/null
fi

# Starts a program in the background and puts the first line it prints into
# started_line, its process id into started_pid, and a descriptor for the
# rest of its output into started_fd.
start_reading_first_line() {
  local name=$1 fifo="$work/$1.out"
  shift
  mkfifo "$fifo"
  "$@" >"$fifo" &
  started_pid=$!
  pids+=("$started_pid")
  exec {started_fd}<"$fifo"
  if ! read -r -t 20 -u "$started_fd" started_line; then
    echo "test-windows: $name printed nothing" >&2
    return 1
  fi
}

# A firmware image of 1 KiB across a 64 KiB boundary: 16-byte records from
# FE00 to FFF0, an extended address of 1, records from 0000 on, the last one
# short. The data bytes take every value, the frame and flow-control
# characters among them.
make_sample_hex() {
  awk 'function record(count, address, type, bytes,   i, sum, line) {
         line = sprintf(":%02X%04X%02X", count, address, type)
         sum = count + int(address / 256) + address % 256 + type
         for (i = 0; i < count; i++) { line = line sprintf("%02X", bytes[i]); sum += bytes[i] }
         print line sprintf("%02X", (256 - sum % 256) % 256)
       }
       BEGIN {
         b[0] = 0; b[1] = 0; record(2, 0, 4, b)
         n = 0
         for (address = 65024; address < 65536; address += 16) {
           for (i = 0; i < 16; i++) d[i] = ((n * 16 + i) * 37 + int(n / 16) * 11) % 256
           record(16, address, 0, d); n++
         }
         b[0] = 0; b[1] = 1; record(2, 0, 4, b)
         for (address = 0; address < 512; address += 16) {
           count = address < 496 ? 16 : 5
           for (i = 0; i < count; i++) d[i] = ((n * 16 + i) * 37 + int(n / 16) * 11) % 256
           record(count, address, 0, d); n++
         }
         print ":00000001FF"
       }' >"$1"
}

# Starts a simulated bootloader that compares its memory with FILE once it
# has received an end frame, then ends. Sets sim_pty, sim_pid and sim_fd.
start_simulator() {
  local name=$1 image=$2
  start_reading_first_line "$name" "$sim" --port-dir "$work/ports" --name "$name" --verify "$image" --exit-after-end
  sim_pid=$started_pid
  sim_fd=$started_fd
  sim_pty=$(sed -n 's/^mx7410-sim: serving \([^ ]*\) as .*/\1/p' <<<"$started_line")
  [ -n "$sim_pty" ] || { echo "test-windows: $name: $started_line" >&2; return 1; }
}

echo "-- COM ports"
sample="$root/firmware/sample.hex"
boundary_sample="$work/boundary.hex"
make_sample_hex "$boundary_sample"
start_simulator sim "$sample"
sim_a=("$sim_pty" "$sim_pid" "$sim_fd")
start_simulator sim-boundary "$boundary_sample"
sim_b=("$sim_pty" "$sim_pid" "$sim_fd")
start_reading_first_line null-modem "$null_modem"
read -r modem_a modem_b <<<"$started_line"
[ -n "$modem_b" ] || { echo "test-windows: null-modem: $started_line" >&2; exit 1; }

# Wine lists the ports of HKLM\Software\Wine\Ports under
# HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (and links them in dosdevices) when its
# server starts: set them, let the server end, start it again.
run_wine reg add 'HKLM\Software\Wine\Ports' /v "$sim_port" /d "${sim_a[0]}" /f >/dev/null
run_wine reg add 'HKLM\Software\Wine\Ports' /v "$boundary_port" /d "${sim_b[0]}" /f >/dev/null
run_wine reg add 'HKLM\Software\Wine\Ports' /v "${modem_ports[0]}" /d "$modem_a" /f >/dev/null
run_wine reg add 'HKLM\Software\Wine\Ports' /v "${modem_ports[1]}" /d "$modem_b" /f >/dev/null
wineserver -w
# The server stays up for the many short test programs; it prints its
# object table when it is ended, which nobody needs to read.
wineserver -p </dev/null >/dev/null 2>&1
# The first program starts Wine's system processes, which stay as long as
# the server and keep the descriptors they inherited: give them none that a
# caller waits on (ctest waits for its children's pipes to close).
run_wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' >"$work/serialcomm.txt" 2>&1 </dev/null
echo "$sim_port -> ${sim_a[0]}, $boundary_port -> ${sim_b[0]}," \
  "${modem_ports[0]} -> $modem_a, ${modem_ports[1]} -> $modem_b"
grep -i ' com' "$work/serialcomm.txt"

echo "-- PostgreSQL on 127.0.0.1:$pg_port"
MX_PG_TEST_TCP=1 scripts/pg-test-server.sh start "$pg_dir" "$pg_port"

echo "-- tests under Wine"
export MX_TEST_COM="$sim_port"
export MX_TEST_NULL_MODEM="${modem_ports[*]}"
ctest --test-dir "$build" --output-on-failure -j2

echo "-- mx7410-flash.exe records --db postgresql://..."
timeout 120 "${launcher[@]}" wine "$build/tools/flash/mx7410-flash.exe" records \
  --db "postgresql://mx@127.0.0.1:$pg_port/mx_test" --summary
stop_pg_server

# Updates the simulator on PORT with FILE; the simulator, ended by the end
# frame, must report that its memory matches the file.
update_and_verify() {
  local port=$1 image=$2 pid=$3 fd=$4 line verdict=""
  echo "-- mx7410-flash.exe --port $port update $(basename "$image")"
  timeout 300 "${launcher[@]}" wine "$build/tools/flash/mx7410-flash.exe" --port "$port" update \
    "$(run_wine winepath -w "$image")"
  while read -r -t 30 -u "$fd" line; do
    case $line in "mx7410-sim: memory"*) verdict=$line; break ;; esac
  done
  echo "${verdict:-mx7410-sim: no verdict}"
  if ! wait "$pid" || [ -z "$verdict" ]; then
    echo "test-windows: the simulator on $port did not receive $image" >&2
    return 1
  fi
}

update_and_verify "$sim_port" "$sample" "${sim_a[1]}" "${sim_a[2]}"
update_and_verify "$boundary_port" "$boundary_sample" "${sim_b[1]}" "${sim_b[2]}"

echo "-- the Win32 window under Wine"
wineserver -k 2>/dev/null || true
MX7410_SIM="$sim" scripts/test-windows-window.sh

echo "-- the Windows installer"
wineserver -k 2>/dev/null || true
scripts/test-windows-installer.sh

echo "-- Windows zip"
(cd "$build" && cpack -G ZIP >/dev/null)
zip_file=$(ls "$build"/mx7410-updater-*-win64.zip)
python3 - "$zip_file" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
for wanted in ("bin/mx7410-flash.exe", "bin/mx_7410Update.exe", "share/doc/mx7410-updater/README.md",
               "share/doc/mx7410-updater/copyright.txt", "share/doc/mx7410-updater/docs/command-line.md"):
    if wanted not in names:
        sys.exit(f"test-windows: {wanted} is not in {sys.argv[1]}: {names}")
print(f"{sys.argv[1]}: " + ", ".join(names))
PY
echo "test-windows: all passed"
