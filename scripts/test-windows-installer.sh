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
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
launcher=()
if setarch -R true 2>/dev/null; then launcher=(setarch -R); fi
run_wine() { "${launcher[@]}" wine "$@"; }

stage=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$stage"' EXIT
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

run_wine "C:\\Program Files\\Mx7410 Updater\\Uninstall.exe" /S
wineserver -w  # the uninstaller runs from a copy of itself and ends later
if [ -e "$folder" ] || [ -e "$menu" ] ||
  run_wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Mx7410Updater' >/dev/null 2>&1; then
  echo "test-windows-installer: the uninstaller left something behind" >&2
  exit 1
fi
echo "test-windows-installer: installed, ran and uninstalled cleanly"
