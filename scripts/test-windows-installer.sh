#!/usr/bin/env bash
# The Windows installer: built with makensis from the cross build, installed
# silently under Wine, the installed mx7410-flash.exe and window run (the
# window also with a read-only Comport.ini beside it), uninstalled silently;
# nothing of it may be left (files, Start-menu entries, the uninstall key)
# but the user's own settings. Expects the cross build in build-win.
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
cp packaging/copyright "$stage/copyright.txt"
mkdir -p "$stage/docs"
cp docs/*.md docs/*.png "$stage/docs/"
makensis -V2 -DSTAGE="$stage" -DVERSION="$version" -DOUTFILE="$root/$installer" packaging/windows/mx7410-updater.nsi
echo "-- $installer"

wineserver -k 2>/dev/null || true
[ -f "$WINEPREFIX/system.reg" ] || "${launcher[@]}" wineboot -i 2>/dev/null
# The user's settings from an earlier run would stand in for the copy.
appdata=$(run_wine cmd /c echo %APPDATA% </dev/null | tr -d '\r')
user_settings=$(run_wine winepath -u "$appdata\\mx7410\\Comport.ini" 2>/dev/null | tr -d '\r')
rm -rf "$(dirname "$user_settings")"
run_wine "$installer" /S
wineserver -w
folder="$WINEPREFIX/drive_c/Program Files/Mx7410 Updater"
for file in mx_7410Update.exe mx7410-flash.exe README.md copyright.txt docs/command-line.md Uninstall.exe; do
  [ -f "$folder/$file" ] || { echo "test-windows-installer: $file was not installed" >&2; exit 1; }
done
menu=$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'Mx7410 Update.lnk' | head -1)
[ -n "$menu" ] || { echo "test-windows-installer: no Start-menu shortcut" >&2; exit 1; }
run_wine "C:\\Program Files\\Mx7410 Updater\\mx7410-flash.exe" --version </dev/null

# Starts the installed window; once it has the focus (start-up is over)
# clicks the controls named, if any, and closes it.
run_installed_window() {
  rm -f "$stage/trace"
  mkfifo "$stage/trace"
  run_wine "C:\\Program Files\\Mx7410 Updater\\mx_7410Update.exe" --trace >"$stage/trace" </dev/null 2>/dev/null &
  exec {trace_fd}<"$stage/trace"
  local line started=0 control
  while read -r -t 60 -u "$trace_fd" line; do
    case $line in
      focus*)
        [ "$started" -eq 0 ] || continue
        started=1
        # The window handles posted clicks and the close in this order.
        for control in "$@"; do probe click "$control"; done
        probe close
        ;;
      closed*) break ;;
    esac
  done
  exec {trace_fd}<&-
  wineserver -w
  [[ $line == closed* ]] || { echo "test-windows-installer: the installed window did not run (last: $line)" >&2; exit 1; }
}
probe() { run_wine "$root/$build/tests/win/mx_win_window_probe.exe" "$@"; }

# The installed window starts, writes its settings beside itself and closes.
run_installed_window
[ -f "$folder/Comport.ini" ] || { echo "test-windows-installer: no Comport.ini beside the window" >&2; exit 1; }
echo "installed window: started, wrote Comport.ini, closed"

# Settings beside the window that cannot be written (read-only: Wine running
# as root ignores a folder's permission bits, and Windows refuses to write a
# read-only file): a setting stored by the window goes to the user's folder,
# which starts from a copy; the installed file stays as it was.
printf 'Filename=C:\\firmware\\sample.hex\r\n' >>"$folder/Comport.ini"
run_wine cmd /c attrib +r "C:\\Program Files\\Mx7410 Updater\\Comport.ini" </dev/null
cp "$folder/Comport.ini" "$stage/installed-Comport.ini"
# Show Message toggles the message panel and stores the opposite value.
showmag=$(sed -n 's/^Showmag=\([01]\).*/\1/p' "$folder/Comport.ini")
run_installed_window CBShowmag
if ! grep -q "^Showmag=$((1 - showmag))" "$user_settings" 2>/dev/null ||
  ! grep -q '^Filename=C:.firmware.sample.hex' "$user_settings"; then
  echo "test-windows-installer: the setting is not in $appdata\\mx7410\\Comport.ini: $(cat "$user_settings" 2>&1)" >&2
  exit 1
fi
cmp -s "$stage/installed-Comport.ini" "$folder/Comport.ini" ||
  { echo "test-windows-installer: the read-only Comport.ini beside the window changed" >&2; exit 1; }
echo "installed window: with a read-only Comport.ini beside it, stored its setting in $appdata\\mx7410"

run_wine "C:\\Program Files\\Mx7410 Updater\\Uninstall.exe" /S
wineserver -w  # the uninstaller runs from a copy of itself and ends later
if [ -e "$folder" ] || [ -e "$menu" ] ||
  run_wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Mx7410Updater' >/dev/null 2>&1; then
  echo "test-windows-installer: the uninstaller left something behind" >&2
  exit 1
fi
# Per-user settings stay, as Windows programs leave them.
[ -f "$user_settings" ] || { echo "test-windows-installer: the uninstaller removed the user's settings" >&2; exit 1; }
echo "test-windows-installer: installed, ran and uninstalled cleanly (the user's settings stay)"
