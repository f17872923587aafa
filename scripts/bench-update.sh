#!/usr/bin/env bash
# Times a 64 KiB update through mx7410-flash against the simulated bootloader
# pacing a 38400-baud line, at read gaps from 100 ms (the window's) down to
# 1 ms, and sets the wall time against two bounds:
#   line limit      every byte of every frame and reply at 10 bits a byte
#   protocol floor  the line time plus one read gap per awaited reply (the
#                   receiver hands a reply over only after that much silence)
# and reports the updater's CPU time (user + system, from /usr/bin/time).
#
# With LATENCY_MS the simulator hands its replies over as a USB serial
# adapter with that latency timer does (16 ms on common ones).
#
#   scripts/bench-update.sh [BUILD_DIR [SIZE_BYTES [BAUD [LATENCY_MS]]]]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
size=${2:-65536}
baud=${3:-38400}
latency=${4:-0}
source scripts/simulator-common.sh bench-update "$build"

image="$work/image.hex"
firmware/make-sample.py --size "$size" -o "$image"

# Bytes on the line and replies awaited for this image, from the frame format:
# host: "re", version request, erase, one write frame per 256 bytes (address,
# data and checksum escaped), end, version request; device: the version reply
# (14 bytes), the erase reply and one reply per block (7 bytes each).
read -r line_bytes replies < <(python3 - "$image" <<'PY'
import sys
data, upper = {}, 0
for line in open(sys.argv[1]):
    line = line.strip()
    if not line.startswith(":"):
        continue
    raw = bytes.fromhex(line[1:])
    count, address, kind = raw[0], (raw[1] << 8) | raw[2], raw[3]
    if kind == 0x04:
        upper = raw[5]
    elif kind == 0x00:
        for i, byte in enumerate(raw[4:4 + count]):
            data[(upper << 16) + address + i] = byte
    elif kind == 0x01:
        break
image = [data[a] for a in sorted(data)]
escaped = lambda b: 2 if b in (0x04, 0x05, 0x55) else 1
host = 2 + 5 + 10 + 5 + 5
blocks = 0
start = min(data) if data else 0
offset = 0
while offset < len(image):
    size = min(256, len(image) - offset)
    if size == 255:  # its length byte would say 256: 254 bytes, then 1
        size = 254
    block = image[offset:offset + size]
    address = start + offset
    offset += size
    a = [address & 0xFF, (address >> 8) & 0xFF, (address >> 16) & 0xFF]
    length = 0xFF if len(block) == 256 else len(block)
    checksum = (-(0x02 + length + sum(a) + sum(block))) & 0xFF
    host += 4 + sum(escaped(b) for b in a + block + [checksum]) + 1
    blocks += 1
device = 14 + 7 + 7 * blocks
print(host + device, 2 + blocks)
PY
)

serve() {  # starts the simulator; sets sim_pid and opens its output on fd 3
  rm -f "$work/sim.out"
  mkfifo "$work/sim.out"
  "$sim" --port-dir "$work/ports" --baud "$baud" --latency "$latency" --verify "$image" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  exec 3<"$work/sim.out"
  read -r -t 10 _ <&3
}

stop() {  # stops the simulator; fails when its memory differs from the image
  kill -INT "$sim_pid"
  local verdict=""
  while read -r line <&3; do verdict="$line"; done
  exec 3<&-
  local status=0
  wait "$sim_pid" || status=$?
  sim_pid=
  [ "$status" -eq 0 ] || { echo "bench-update: $verdict" >&2; return 1; }
}

line_seconds=$(python3 -c "print($line_bytes * 10 / $baud)")
printf '%s bytes in %s, %s baud, adapter latency %s ms: %s bytes on the line (%.2f s), %s replies awaited\n' \
  "$size" "$(basename "$image")" "$baud" "$latency" "$line_bytes" "$line_seconds" "$replies"
printf '%-9s %9s %11s %10s %10s %9s %9s\n' "read gap" "wall s" "floor s" "wall/floor" "line rate" "CPU s" "CPU %"
for gap in 100 20 5 2 1; do
  serve
  MX7410_PORT_DIR="$work/ports" /usr/bin/time -f '%e %U %S' -o "$work/time" \
    "$flash" --quiet --read-gap "$gap" update "$image" >"$work/flash.out"
  stop
  read -r wall user system <"$work/time"
  python3 - "$gap" "$wall" "$user" "$system" "$line_seconds" "$replies" <<'PY'
import sys
gap, wall, user, system, line, replies = (float(v) for v in sys.argv[1:])
floor = line + replies * gap / 1000
cpu = user + system
print(f"{int(gap):>5} ms {wall:9.2f} {floor:11.2f} {wall / floor:10.2f} {100 * line / wall:9.1f}% {cpu:9.2f} {100 * cpu / wall:8.1f}%")
PY
done
