#!/usr/bin/env bash
# Peak memory of `mx7410-flash check` on HEX files of nearly the 64 MiB that
# are read at most, shaped to cost the reader the most: accepted files with
# many short lines, refused ones with a refusal at every line, and one with
# an address fault at every record. The goal: at most twice the file's size
# plus 16 MB for every one of them.
#
#   scripts/bench-hex-memory.sh [BUILD_DIR [SIZE_MIB]]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
size_mib=${2:-63}
flash="$build/tools/flash/mx7410-flash"
[ -x "$flash" ] || { echo "bench-hex-memory: build $flash first" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bytes=$((size_mib * 1024 * 1024))

# Repeats LINE (with its line break) until the file holds about SIZE bytes,
# after HEAD and before TAIL.
fill() {
  local out=$1 head=$2 line=$3 tail=$4
  python3 - "$out" "$head" "$line" "$tail" "$bytes" <<'PY'
import sys
out, head, line, tail, size = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
body = (line + "\n").encode()
with open(out, "wb") as f:
    f.write(head.encode())
    count = max(0, (size - len(head) - len(tail)) // len(body))
    chunk = body * 65536
    for _ in range(count // 65536):
        f.write(chunk)
    f.write(body * (count % 65536))
    f.write(tail.encode())
PY
}

# Data records of COUNT bytes each, 16 addresses apart from 0 on (with an
# upper address record every 64 KiB), as far as 24-bit addresses reach: an
# accepted file.
records() {
  python3 - "$1" "$2" "$bytes" <<'PY'
import sys
out, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def record(kind, address, data):
    body = bytes([len(data), address >> 8, address & 0xFF, kind]) + data
    return ":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF) + "\n"

data = bytes(range(count))
written, full = 0, 0
with open(out, "w") as f:
    while written < size - 64 and full < 1 << 24:
        if full & 0xFFFF == 0:
            line = record(4, 0, bytes([full >> 24, (full >> 16) & 0xFF]))
            f.write(line)
            written += len(line)
        line = record(0, full & 0xFFFF, data)
        f.write(line)
        written += len(line)
        full += 16
    f.write(":00000001FF\n")
PY
}

fill "$work/empty-lines-after-end.hex" ":00000001FF
" "" ""
fill "$work/empty-lines.hex" "" "" ""
fill "$work/short-lines-after-end.hex" ":00000001FF
" ":" ""
fill "$work/address-faults.hex" "" ":0000000000" ":00000001FF
"
records "$work/full-records.hex" 16
records "$work/zero-byte-records.hex" 0

printf '| file | size | exit | peak RSS | bound (2 x size + 16 MB) |\n|---|---|---|---|---|\n'
failed=0
for file in "$work"/*.hex; do
  size=$(stat -c %s "$file")
  status=0
  /usr/bin/time -f "%M" -o "$work/rss" "$flash" check "$file" >/dev/null 2>&1 || status=$?
  rss_kib=$(tail -n 1 "$work/rss")
  bound_kib=$(((2 * size + 16 * 1000 * 1000) / 1024))
  mark=""
  [ "$rss_kib" -le "$bound_kib" ] || { mark=" (over)"; failed=1; }
  printf '| %s | %.1f MiB | %d | %.1f MiB%s | %.1f MiB |\n' "$(basename "$file")" \
    "$(echo "$size / 1048576" | bc -l)" "$status" "$(echo "$rss_kib / 1024" | bc -l)" "$mark" \
    "$(echo "$bound_kib / 1024" | bc -l)"
done
exit "$failed"
