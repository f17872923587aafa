#!/usr/bin/env bash
# The Windows installer: built with makensis from the cross build, installed
# silently under Wine, the installed mx7410-flash.exe run, uninstalled
# silently; nothing of it may be left (files, Start-menu entries, the
# uninstall key). Expects the cross build in build-win.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build-win
version=$(sed -n 's/^project(mx7410_updater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
installer="$build/mx7410-updater-$version-win64-setup.exe"

export WINEPREFIX="$root/$build/wineprefix-installer"
source scripts/wine-common.sh
stage="$work"
# Wine's desktop belongs to the display of its first program: one display
# for the whole run.
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
mkdir -p "$stage/bin"
cp "$build/src/app/win32/mx_7410Update.exe" "$build/tools/flash/mx7410-flash.exe" "$stage/bin/"
cp README.md "$stage/"
makensis -V2 -DSTAGE="$stage" -DVERSION="$version" -DOUTFILE="$root/$installer" packaging/windows/mx7410-updater.nsi
echo "-- $installer"

wineserver -k 2>/dev/null || true
[ -f "$WINEPREFIX/system.reg" ] || "${launcher[@]}" wineboot -i 2>/dev/null
run_wine "$installer" /S
wineserver -w
folder="$WINEPREFIX/drive_c/Program Files/Mx7410 Updater"
for file in mx_7410Update.exe mx7410-flash.exe README.md Uninstall.exe; do
  [ -f "$folder/$file" ] || { echo "test-windows-installer: $file was not installed" >&2; exit 1; }
done
menu=$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'Mx7410 Update.lnk' | head -1)
[ -n "$menu" ] || { echo "test-windows-installer: no Start-menu shortcut" >&2; exit 1; }
run_wine "C:\\Program Files\\Mx7410 Updater\\mx7410-flash.exe" --version </dev/null

# The installed window starts, writes its settings beside itself and closes.
mkfifo "$stage/trace"
run_wine "C:\\Program Files\\Mx7410 Updater\\mx_7410Update.exe" --trace >"$stage/trace" </dev/null 2>/dev/null &
exec {trace_fd}<"$stage/trace"
titles=0
while read -r -t 60 -u "$trace_fd" line; do
  case $line in
    # The title is set when the window is built and again by the start-up.
    "control Window "*)
      titles=$((titles + 1))
      [ "$titles" -ne 2 ] || run_wine "$root/$build/tests/win/mx_win_window_probe.exe" close
      ;;
    closed*) break ;;
  esac
done
wineserver -w
[[ $line == closed* ]] || { echo "test-windows-installer: the installed window did not run (last: $line)" >&2; exit 1; }
[ -f "$folder/Comport.ini" ] || { echo "test-windows-installer: no Comport.ini beside the window" >&2; exit 1; }
echo "installed window: started, wrote Comport.ini, closed"

run_wine "C:\\Program Files\\Mx7410 Updater\\Uninstall.exe" /S
wineserver -w  # the uninstaller runs from a copy of itself and ends later
if [ -e "$folder" ] || [ -e "$menu" ] ||
  run_wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Mx7410Updater' >/dev/null 2>&1; then
  echo "test-windows-installer: the uninstaller left something behind" >&2
  exit 1
fi
echo "test-windows-installer: installed, ran and uninstalled cleanly"
