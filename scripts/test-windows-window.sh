#!/usr/bin/env bash
# The Win32 window under Wine on Xvfb against the simulated bootloader on a
# Wine COM port: Connect shows the bootloader's version, Update with a file
# typed into the file dialog writes the image (the simulator checks its
# memory) and ends with the "Finish Update" box, the close guard asks.
# The window's state is read from its --trace lines; the clicks come from
# mx_win_window_probe.exe, the keys from xdotool as real X key events (Tab
# order, Return on Connect, the Menu key and Shift+F10). Also the designed
# outer size, the memo's font, a refused file (where the focus goes, the
# status label fits its text), Show Message on a screen too short for it
# and the close question's icon. With a trusted key beside a copy of the
# program in a folder named in Chinese, an unsigned file is refused and never
# sent, a signed one is written. Expects the cross build in build-win and the
# simulator in build (scripts/test-windows.sh builds both).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build-win
sim="${MX7410_SIM:-build/tools/sim/mx7410-sim}"
window_exe="$build/src/app/win32/mx_7410Update.exe"
probe_exe="$build/tests/win/mx_win_window_probe.exe"
artifacts="${MX_ARTIFACTS:-$build/artifacts}"
mkdir -p "$artifacts"

export WINEPREFIX="$root/$build/wineprefix-window"
source scripts/wine-common.sh

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display

echo "-- Wine prefix for the window ($WINEPREFIX)"
wineserver -k 2>/dev/null || true
[ -f "$WINEPREFIX/system.reg" ] || "${launcher[@]}" wineboot -i 2>/dev/null
# Debian's Wine does not find its own fonts; the Chinese UI fonts map to an
# installed Traditional Chinese one. Without a window manager, unmanaged
# windows close without Wine's two-second wait.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
for font in PMingLiU MingLiU "Microsoft JhengHei" SimSun "細明體"; do
  run_wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /d "AR PL UMing TW" /f >/dev/null 2>&1
done
run_wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

# Starts a simulated bootloader (with the given options) on COM5; sets
# sim_pid and sim_fd, the descriptor of its output. Its messages go to the
# descriptor sim_messages_fd, if set.
sim_count=0
start_simulator() {
  sim_count=$((sim_count + 1))
  rm -f "$work/sim.out"
  mkfifo "$work/sim.out"
  "$sim" --port-dir "$work/ports" --name "sim$sim_count" "$@" >"$work/sim.out" 2>&"${sim_messages_fd:-2}" &
  sim_pid=$!
  pids+=("$sim_pid")
  exec {sim_fd}<"$work/sim.out"
  read -r -t 20 -u "$sim_fd" sim_line
  sim_pty=$(sed -n 's/^mx7410-sim: serving \([^ ]*\) as .*/\1/p' <<<"$sim_line")
  [ -n "$sim_pty" ] || { echo "test-windows-window: $sim_line" >&2; return 1; }
  # Wine maps its ports when its server starts.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  run_wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$sim_pty" /f >/dev/null
  wineserver -w
  wineserver -p </dev/null >/dev/null 2>&1
}

echo "-- simulator on COM5"
start_simulator --verify "$root/firmware/sample.hex" --exit-after-end

app=$work/app
mkdir -p "$app"
cp "$window_exe" "$app/"
printf '[ComPort]\r\nPort=COM5\r\nlanguage=ENG\r\nShowmag=1\r\n' >"$app/Comport.ini"

# Starts the window from the folder $1 (default: $app).
start_window() {
  rm -f "$work/trace"
  mkfifo "$work/trace"
  (cd "${1:-$app}" && exec "${launcher[@]}" wine mx_7410Update.exe --trace) >"$work/trace" </dev/null 2>/dev/null &
  window_pid=$!
  pids+=("$window_pid")
  exec {trace_fd}<"$work/trace"
}

# Reads trace lines until one matches PATTERN (an extended regular expression).
wait_for() {
  local pattern=$1 line
  while read -r -t 60 -u "$trace_fd" line; do
    line=${line%$'\r'}  # standard output in text mode ends lines with CR LF
    echo "$line" >>"$artifacts/window-trace.txt"
    if [[ $line =~ $pattern ]]; then
      matched=$line
      return 0
    fi
  done
  echo "test-windows-window: no line like '$pattern'" >&2
  return 1
}
probe() { run_wine "$root/$probe_exe" "$@"; }

fail() {
  echo "test-windows-window: $*" >&2
  exit 1
}

# Presses KEYS (xdotool key names) as real X key events, into the window
# that has the X focus: Wine gives it to the window it activates.
keys() { xdotool key --clearmodifiers "$@"; }

# Reads the next focus line; it must name CONTROL.
expect_focus() {
  wait_for '^focus '
  [[ $matched == "focus $1" ]] || fail "focus on ${matched#focus }, expected $1"
}

# The last state the trace showed of CONTROL.
last_state() { grep "^control $1 " "$artifacts/window-trace.txt" | tail -1; }

# Reads focus lines until one names CONTROL.
focus_reaches() {
  while wait_for '^focus '; do
    [[ $matched != "focus $1" ]] || return 0
  done
  return 1
}

# The window's geometry from the probe: sets outer, client, bottom and
# work_bottom.
read_geometry() {
  geometry=$(probe geometry | tr -d '\r')
  read -r _ outer _ client _ bottom _ work_bottom <<<"$geometry"
}

start=$SECONDS
: >"$artifacts/window-trace.txt"
echo "-- window: the keyboard; connect with Return"
start_window
wait_for '^control ComboBox1 .*caption=COM5'
expect_focus Button_Open
# The designed size is the outer one, with the message panel 400 taller.
read_geometry
echo "   $geometry"
[[ $outer == 907x623 ]] || fail "the window is $outer, not the designed 907x623 with its frame"
memo_font=$(grep '^font Memo ' "$artifacts/window-trace.txt" | tail -1)
echo "   $memo_font"
[[ $memo_font == "font Memo asks Courier,"* ]] || fail "the memo's font: $memo_font"
xdotool search --sync --onlyvisible --name '^Mx7410 Bootloader' windowfocus --sync >/dev/null
# Update stays disabled until a connection: Tab passes over it.
[[ $(last_state BtnFileOpen) == *" enabled=0 visible=1 "* ]] || fail "Update: $(last_state BtnFileOpen)"
mapfile -t stops < <(probe tab-stops | tr -d '\r')
echo "   Tab stops: ${stops[*]}"
[[ " ${stops[*]} " == *" Button_Open "* && " ${stops[*]} " == *" Memo "* ]] || fail "Tab stops: ${stops[*]}"
[[ " ${stops[*]} " != *" BtnFileOpen "* ]] || fail "the disabled Update is a Tab stop"
# Tab from Connect round all of them back to Connect, the memo among them;
# Shift+Tab back one.
at=0
while [ "${stops[$at]}" != Button_Open ]; do at=$((at + 1)); done
for ((i = 1; i <= ${#stops[@]}; i++)); do
  keys Tab
  expect_focus "${stops[$(((at + i) % ${#stops[@]}))]}"
done
keys shift+Tab
expect_focus "${stops[$(((at - 1 + ${#stops[@]}) % ${#stops[@]}))]}"
keys Tab
expect_focus Button_Open
echo "   Tab and Shift+Tab follow the layout's order and wrap around"
# The Menu key and Shift+F10 open Connect's menu below it; Escape closes it.
for key in Menu shift+F10; do
  keys "$key"
  wait_for '^menu '
  [[ $matched == "menu shown below Button_Open" ]] || fail "$key: $matched"
  keys Escape
  wait_for '^menu '
  [[ $matched == "menu closed" ]] || fail "Escape: $matched"
done
echo "   Menu and Shift+F10 open Connect's menu, Escape closes it"
keys Return
wait_for '^control Label1 .*caption=.+'
echo "   $matched"
import -display "$display" -window root "$artifacts/mx_7410Update-wine.png" 2>/dev/null || true

echo "-- window: a refused file; the focus leaves Update, not for Clear Memo"
printf 'not a HEX file\r\n' >"$work/refused.hex"
mark=$(wc -l <"$artifacts/window-trace.txt")
probe click BtnFileOpen
wait_for '^file-dialog shown'
probe file "$(run_wine winepath -w "$work/refused.hex" 2>/dev/null)"
wait_for '^message '
echo "   $matched"
probe press 1
focus_reaches CBShowmag
if tail -n +$((mark + 1)) "$artifacts/window-trace.txt" | grep -q '^focus BtnClearMemo'; then
  fail "the focus passed Clear Memo, where Return empties the memo"
fi
echo "   the focus went from the disabled Update to Show Message"
[[ $(last_state LabelTimeout) == *"caption=Hex File Openning..." ]] || fail "$(last_state LabelTimeout)"
needed=$(grep '^text-width LabelTimeout ' "$artifacts/window-trace.txt" | tail -1 | cut -d' ' -f3)
((needed > 0)) || fail "no width of LabelTimeout's text in the trace"
fits=$(probe fits LabelTimeout "$needed" | tr -d '\r') || fail "\"Hex File Openning...\" does not fit its label: $fits"
echo "   \"Hex File Openning...\" fits its label: $fits"

# Closes the window, answering Yes if it asks, and waits for its program to
# end; --say prints what the close brought.
close_window() {
  probe close
  wait_for '^(confirm|closed)'
  [ "${1:-}" != --say ] || echo "   $matched"
  if [[ $matched == confirm* ]]; then
    probe press 6
    wait_for '^closed'
  fi
  wait "$window_pid"
}

# Types the file $2 (default: the sample) into the open file dialog, waits
# for "Finish Update" and the simulator's verdict on its memory, and closes
# the message; $1 names the step in an error.
update_with_sample() {
  probe file "$(run_wine winepath -w "${2:-$root/firmware/sample.hex}" 2>/dev/null)"
  wait_for '^message .*Finish'
  echo "   $matched"
  local verdict="" line
  while read -r -t 30 -u "$sim_fd" line; do
    case $line in "mx7410-sim: memory"*) verdict=$line; break ;; esac
  done
  echo "   ${verdict:-mx7410-sim: no verdict}"
  [[ $verdict == *match* && $verdict != *mismatch* ]] || { echo "test-windows-window: $1: memory not verified" >&2; exit 1; }
  probe press 1
}

echo "-- window: update with a typed file name"
probe click BtnFileOpen
wait_for '^file-dialog shown'
update_with_sample update

echo "-- window: the close guard"
close_window --say

# The trusted keys' window: a folder of its own with a public key beside the
# program; a small image, signed, and the same unsigned. The folders' names
# are beyond the ANSI code page.
trusted_app="$work/信任的程式 Ü"
firmware="$work/韌體"
mkdir -p "$trusted_app/trusted-keys" "$firmware"
cp "$window_exe" "$trusted_app/"
printf '[ComPort]\r\nPort=COM5\r\nlanguage=ENG\r\nShowmag=1\r\n' >"$trusted_app/Comport.ini"
minisign -G -W -p "$trusted_app/trusted-keys/station.pub" -s "$work/station.key" >/dev/null </dev/null
{ head -n 33 "$root/firmware/sample.hex"; echo ':00000001FF'; } >"$firmware/signed.hex"
cp "$firmware/signed.hex" "$firmware/unsigned.hex"
minisign -S -s "$work/station.key" -m "$firmware/signed.hex" >/dev/null </dev/null

echo "-- window: Chinese texts; Show Message on a short screen; the close guard while connected"
# This window only connects; the simulator stays for the trusted keys' one,
# which writes the signed image.
exec {frames_fd}>"$work/sim-frames.log"
sim_messages_fd=$frames_fd start_simulator --log --verify "$firmware/signed.hex" --exit-after-end
printf '[ComPort]\r\nPort=COM5\r\nlanguage=CH\r\nShowmag=0\r\n' >"$app/Comport.ini"
start_window
wait_for '^control ComboBox1 .*caption=COM5'
wait_for '^control Button_Open .*caption=連線'
echo "   $matched"
wait_for '^focus Button_Open'  # shown
# Without the message panel the client area holds the two panels (81 + 83
# pixels) and no empty strip between them.
read_geometry
echo "   $geometry"
[[ ${client#*x} == 164 ]] || fail "without the message panel the client area is $client, not the panels' 164 high"
probe click CBShowmag
wait_for '^message-panel shown'
read_geometry
echo "   $geometry"
((bottom <= work_bottom)) || fail "Show Message grew the window past the screen's bottom: $geometry"
probe click Button_Open
wait_for '^control Label1 .*caption=.+'
echo "   $matched"
import -display "$display" -window root "$artifacts/mx_7410Update-wine-chinese.png" 2>/dev/null || true
probe close
wait_for '^confirm '
echo "   $matched"
probe icon || fail "the close question shows no icon"
probe press 2  # Cancel keeps the window and the connection
expect_focus Button_Open  # given back to the control that had it
probe close
wait_for '^(confirm|closed)'
[[ $matched == confirm* ]] || { echo "test-windows-window: Cancel closed the window" >&2; exit 1; }
probe press 6  # Yes
wait_for '^closed'
wait "$window_pid"

echo "-- window: trusted keys beside it refuse an unsigned file, take a signed one"
trust_start=$SECONDS
start_window "$trusted_app"
wait_for '^control ComboBox1 .*caption=COM5'
probe click Button_Open
wait_for '^control Label1 .*caption=.+'
probe click BtnFileOpen
wait_for '^file-dialog shown'
probe file "$(run_wine winepath -w "$firmware/unsigned.hex" 2>/dev/null)"
wait_for '^message '
echo "   $matched"
[[ $matched == "message The file is not signed by a trusted key: No signature:"* ]] || fail "an unsigned file: $matched"
probe press 1
[[ $(last_state BtnFileOpen) == *" enabled=1 "* ]] || fail "after the refusal Update is $(last_state BtnFileOpen)"
probe click BtnFileOpen
wait_for '^file-dialog shown'
update_with_sample "a signed file" "$firmware/signed.hex"
# Neither the Chinese window nor the refused file erased: the one erase is
# the signed file's.
erases=$(grep -c 'erase: memory cleared' "$work/sim-frames.log" || true)
((erases == 1)) || fail "$erases erase commands reached the simulator, not the signed file's one"
echo "   one erase, the signed file's"
close_window
echo "   trusted keys: $((SECONDS - trust_start)) s"

echo "-- window: the Update Wizard catches a power-on"
start_simulator --power-on-after 1500 --verify "$root/firmware/sample.hex" --exit-after-end
printf '[ComPort]\r\nPort=COM5\r\nlanguage=ENG\r\nShowmag=1\r\n' >"$app/Comport.ini"
start_window
wait_for '^control ComboBox1 .*caption=COM5'
probe menu SetBootloader1
wait_for '^memo .*Bootloader Version'
echo "   $matched"
wait_for '^file-dialog shown'
update_with_sample wizard
close_window

echo "test-windows-window: passed in $((SECONDS - start)) s"
