#!/usr/bin/env bash
# Times `mx7410-flash check` on an accepted Intel HEX file of about SIZE_MIB
# (default 45) MiB of full 16-byte data records with CR LF line ends, an
# extended address record every 64 KiB. Prints the fastest and the median of
# RUNS runs (default 5) in MB/s (10^6 bytes of file a second), by the wall
# clock and by the CPU time the check took (user + system, which other load
# on the machine disturbs less), and the peak memory of one run
# (/usr/bin/time -v).
#
#   scripts/bench-hex-read.sh [BUILD_DIR [SIZE_MIB [RUNS]]]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
size_mib=${2:-45}
runs=${3:-5}
flash="$build/tools/flash/mx7410-flash"
[ -x "$flash" ] || { echo "bench-hex-read: build $flash first" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "bench-hex-read: needs /usr/bin/time (apt-get install time)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file="$work/full-records.hex"

python3 - "$file" "$((size_mib * 1024 * 1024))" <<'PY'
import sys
out, size = sys.argv[1], int(sys.argv[2])

def record(kind, address, data):
    body = bytes([len(data), address >> 8, address & 0xFF, kind]) + data
    return ":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF) + "\r\n"

lines, written, full = [], 0, 0
while written < size:
    if full & 0xFFFF == 0:
        lines.append(record(4, 0, bytes([(full >> 24) & 0xFF, (full >> 16) & 0xFF])))
        written += len(lines[-1])
    lines.append(record(0, full & 0xFFFF, bytes((full + i) * 7 & 0xFF for i in range(16))))
    written += len(lines[-1])
    full += 16
lines.append(":00000001FF\r\n")
with open(out, "w", newline="") as f:
    f.write("".join(lines))
PY

"$flash" check "$file" >"$work/check.out" || { cat "$work/check.out" >&2; exit 1; }
python3 - "$flash" "$file" "$runs" <<'PY'
import os, resource, subprocess, sys, time
flash, path, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
size = os.path.getsize(path)

def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime

walls, cpus = [], []
for _ in range(runs):
    start, cpu = time.perf_counter(), cpu_seconds()
    subprocess.run([flash, "check", path], check=True, stdout=subprocess.DEVNULL)
    walls.append(time.perf_counter() - start)
    cpus.append(cpu_seconds() - cpu)
print(f"file: {size / 1048576:.1f} MiB, {size} bytes, {runs} runs")
for name, times in (("wall", sorted(walls)), ("CPU", sorted(cpus))):
    fastest, median = times[0], times[len(times) // 2]
    print(f"{name:4}  fastest {fastest:.3f} s = {size / 1e6 / fastest:.0f} MB/s, "
          f"median {median:.3f} s = {size / 1e6 / median:.0f} MB/s")
PY
/usr/bin/time -v "$flash" check "$file" 2>"$work/time" >/dev/null
rss_kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
echo "peak memory: $((rss_kib / 1024)) MiB ($rss_kib KiB)"
