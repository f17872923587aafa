#!/usr/bin/env bash
# The serial path on real Linux drivers. Boots a throw-away guest under
# qemu-system-x86_64 (software emulation, no KVM) with Debian's kernel and a
# busybox initramfs holding mx7410-flash and the libraries it links. The
# guest has a second 16550 UART (ttyS1, the 8250 driver) and two FTDI adapters
# (QEMU's usb-serial on an xHCI controller, the ftdi_sio driver: ttyUSB0 and
# ttyUSB1). Each is backed by a unix socket on this host that socat bridges to
# an mx7410-sim of its own. The guest lists the ports, updates over each,
# has an adapter pulled mid-update and plugged again (QMP device_del and
# device_add), and is refused as a second opener; it reports every check on
# its console and this script fails on any that does not hold, or when a
# simulator's memory does not match the file.
#
#   scripts/test-real-drivers.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
flash="$build/tools/flash/mx7410-flash"
sim="$build/tools/sim/mx7410-sim"
firmware="firmware/sample.hex"
# The whole run: boot, eight checks and the power-off take about 20 s here.
run_limit=150

missing() {
  echo "test-real-drivers: $1 is missing (scripts/install-deps.sh installs it)" >&2
  # Under CI a missing tool fails the stage; elsewhere it is skipped.
  [ "${CI:-}" = "true" ] && exit 1
  exit 0
}
for tool in qemu-system-x86_64 socat busybox cpio gzip python3 modprobe strip; do
  command -v "$tool" >/dev/null || missing "$tool"
done
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n1 || true)
[ -n "$kernel" ] && [ -r "$kernel" ] || missing "a kernel in /boot (linux-image-amd64)"
version=${kernel#/boot/vmlinuz-}
[ -x "$flash" ] && [ -x "$sim" ] || { echo "test-real-drivers: build $build first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/mx7410-guest.XXXXXX")
background=()
cleanup() {
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# ---- The guest's initramfs ---------------------------------------------------

root="$work/root"
mkdir -p "$root"/{bin,dev,etc,proc,sys,tmp,mx}
# An ordinary user for the second opener: the kernel lets root through TIOCEXCL.
echo "root:x:0:0::/:/bin/sh" > "$root/etc/passwd"
echo "tech:x:1000:1000::/tmp:/bin/sh" >> "$root/etc/passwd"
printf 'root:x:0:\ntech:x:1000:\n' > "$root/etc/group"
cp "$(command -v busybox)" "$root/bin/busybox"
strip -o "$root/mx/mx7410-flash" "$flash"
cp "$firmware" "$root/mx/fw.hex"
# The dynamic loader and every library ldd names, at the same paths.
ldd "$flash" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' | while read -r library; do
  mkdir -p "$root$(dirname "$library")"
  cp -L "$library" "$root$library"
done
# The USB serial modules with what they need, in loading order (modprobe
# resolves them from the kernel's modules.dep); built-in ones are skipped.
for wanted in xhci_pci ftdi_sio; do modprobe -S "$version" --show-depends "$wanted"; done |
  awk '$1 == "insmod" && !seen[$2]++ {print $2}' > "$root/modules"
while read -r module; do
  mkdir -p "$root$(dirname "$module")"
  cp "$module" "$root$module"
done < "$root/modules"

cat > "$root/init" <<'GUEST'
#!/bin/busybox sh
# Runs as the guest's first process: checks the serial path and reports
# each check on the console as "MX PASS name" or "MX FAIL name: why". The
# host acts on "MX STEP" lines (pull or plug an adapter).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r module; do insmod "$module" || echo "MX FAIL insmod $module"; done < /modules
export MX7410_PORT_DIR=/tmp/no-simulators
flash="/mx/mx7410-flash --read-gap 5"

check() {  # name wanted got
  if [ "$2" = "$3" ]; then echo "MX PASS $1"; else echo "MX FAIL $1: wanted [$2], got [$3]"; fi
}
# Until the condition holds, at most 10 s.
wait_until() {
  n=0
  while ! eval "$1"; do
    usleep 20000
    n=$((n + 1))
    [ $n -lt 500 ] || return 1
  done
}
centiseconds() { awk '{printf "%d", $1 * 100}' /proc/uptime; }
listed() { $flash ports | tr '\n' ' ' | sed 's/ $//'; }

wait_until '[ -e /dev/ttyUSB1 ]' || echo "MX FAIL adapters: no ttyUSB1"
check ports "ttyS0 ttyS1 ttyUSB0 ttyUSB1" "$(listed)"
$flash ports --long | sed 's/^/  /'
check ports-long "USB	0403:6001" "$($flash ports --long | grep '^ttyUSB0' | cut -f3,4)"

$flash --port ttyS1 --quiet update /mx/fw.hex > /tmp/uart.out 2>&1
check update-ttyS1 0 $?
$flash --port ttyUSB1 --quiet update /mx/fw.hex > /tmp/usb1.out 2>&1
check update-ttyUSB1 0 $?

# Pulled mid-update: the lost-port message and exit 1 within a second.
$flash --port ttyUSB0 --quiet update /mx/fw.hex > /tmp/pull.out 2>&1 &
updater=$!
echo "MX STEP pull"
wait_until '[ ! -e /dev/ttyUSB0 ]' || echo "MX FAIL pull: ttyUSB0 stayed"
gone=$(centiseconds)
wait $updater
status=$?
ended=$(centiseconds)
check pull-exit 1 $status
check pull-message "Serial port lost, Mx7410 disconnected!" "$(grep -o 'Serial port lost, Mx7410 disconnected!' /tmp/pull.out | head -n1)"
echo "MX FIGURE pull-to-exit $((ended - gone))0 ms"
check pull-within-a-second yes "$([ $((ended - gone)) -le 100 ] && echo yes || echo no)"

# Plugged again: it takes the free ttyUSB0, is the newest and so listed last
# and taken by the automatic choice.
echo "MX STEP plug"
wait_until '[ -e /dev/ttyUSB0 ]' || echo "MX FAIL plug: no ttyUSB0"
check ports-after-replug "ttyS0 ttyS1 ttyUSB1 ttyUSB0" "$(listed)"
$flash --quiet update /mx/fw.hex > /tmp/auto.out 2>&1
check auto-select-update 0 $?

# While a first program holds the adapter: low latency asked for, a second
# opener (not root, whom TIOCEXCL lets through) refused, the flags put back.
latency=/sys/bus/usb-serial/devices/ttyUSB1/latency_timer
before=$(cat $latency)
chmod 666 /dev/ttyUSB1
$flash --port ttyUSB1 --max-wait 20 wizard /mx/fw.hex > /tmp/hold.out 2>&1 &
holder=$!
wait_until "ls -l /proc/$holder/fd 2>/dev/null | grep -q /dev/ttyUSB1" || echo "MX FAIL hold: port not opened"
during=$(cat $latency)
refusal=$(su -s /bin/sh -c "/mx/mx7410-flash --port ttyUSB1 connect 2>&1 >/dev/null" tech)
check second-opener-exit 4 $?
check second-opener-message "mx7410-flash: cannot open /dev/ttyUSB1: Device or resource busy" "$refusal"
kill -INT $holder
wait $holder
# QEMU's FTDI reports a latency timer of 0; ftdi_sio shows 1 while low.
check latency-timer "$before 1 $before" "$before $during $(cat $latency)"

echo "MX END"
poweroff -f
GUEST
chmod 755 "$root/init" "$root/mx/mx7410-flash"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$work/initrd.gz"

# ---- Simulators, the guest, and the bridges between them ----------------------

ports="$work/ports"
start_simulator() {  # name [option...]
  "$sim" --port-dir "$ports" --name "$@" --log --verify "$firmware" > "$work/$1.out" 2> "$work/$1.log" &
  background+=($!)
  eval "sim_$1=$!"
  for _ in $(seq 100); do [ -L "$ports/$1" ] && return 0; sleep 0.05; done
  echo "test-real-drivers: simulator $1 did not start" >&2
  exit 1
}
start_simulator uart1
# Slow writes keep the update that loses its adapter going well past the pull.
start_simulator usb0 --flash-ms 40
start_simulator usb1

qemu-system-x86_64 -accel tcg -m 256 -nodefaults -display none -no-reboot \
  -kernel "$kernel" -initrd "$work/initrd.gz" -append "console=ttyS0 quiet loglevel=3 panic=-1" \
  -serial "file:$work/console.log" \
  -chardev "socket,id=uart1,path=$work/uart1.sock,server=on,wait=off" -serial chardev:uart1 \
  -device qemu-xhci,id=xhci \
  -chardev "socket,id=usb0,path=$work/usb0.sock,server=on,wait=off" \
  -device usb-serial,id=adapter0,chardev=usb0,bus=xhci.0 \
  -chardev "socket,id=usb1,path=$work/usb1.sock,server=on,wait=off" \
  -device usb-serial,id=adapter1,chardev=usb1,bus=xhci.0 \
  -qmp "unix:$work/qmp.sock,server=on,wait=off" &
qemu=$!
background+=($qemu)
for _ in $(seq 100); do [ -S "$work/usb1.sock" ] && [ -S "$work/qmp.sock" ] && break; sleep 0.05; done
# Each bridge keeps reading its socket for the whole run: a peer that stops
# reading would hold the guest's emulated line, and with it the guest.
for name in uart1 usb0 usb1; do
  socat "UNIX-CONNECT:$work/$name.sock" "FILE:$ports/$name,raw,echo=0" 2> "$work/socat-$name.log" &
  background+=($!)
done

# One QMP command; with an event name, waits (10 s at most) for that event
# about the device the arguments name.
qmp() {  # command arguments-json [event]
  scripts/qmp.py "$work/qmp.sock" "$@"
}

# Waits until the simulator's log shows `text` (10 s at most).
wait_for_log() {  # name text
  for _ in $(seq 200); do grep -q "$2" "$work/$1.log" && return 0; sleep 0.05; done
  return 1
}

passed=0
failed=0
ended=no
while IFS= read -r line; do
  line=${line%$'\r'}
  case "$line" in
    "MX STEP pull")
      wait_for_log usb0 "write block 4" || echo "test-real-drivers: the update over ttyUSB0 did not start"
      qmp device_del '{"id": "adapter0"}' DEVICE_DELETED
      ;;
    "MX STEP plug") qmp device_add '{"driver": "usb-serial", "id": "adapter0", "chardev": "usb0", "bus": "xhci.0"}' ;;
    "MX PASS "*) passed=$((passed + 1)); echo "  ${line#MX }" ;;
    "MX FAIL "*) failed=$((failed + 1)); echo "  ${line#MX }" ;;
    "MX FIGURE "*) echo "  ${line#MX }" ;;
    "MX END") ended=yes; break ;;
    "  "*) echo "$line" ;;
  esac
done < <(timeout "$run_limit" tail -n +1 --pid="$qemu" -F "$work/console.log" 2>/dev/null)

wait "$qemu" 2>/dev/null || true
# The simulators check their memory against the file as they end.
for name in uart1 usb0 usb1; do
  pid_variable="sim_$name"
  kill -TERM "${!pid_variable}"
  if wait "${!pid_variable}"; then
    passed=$((passed + 1)); echo "  PASS memory-$name"
  else
    failed=$((failed + 1)); echo "  FAIL memory-$name: $(cat "$work/$name.out")"
  fi
done

if [ "$ended" != yes ]; then
  echo "test-real-drivers: the guest did not finish within $run_limit s; its console:" >&2
  tail -n 40 "$work/console.log" >&2 || true
  exit 1
fi
echo "test-real-drivers: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -ge 15 ]
