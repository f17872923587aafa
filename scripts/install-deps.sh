#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, when missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config clang-format
  help2man desktop-file-utils lintian dpkg-dev file
  libgtest-dev googletest
  nlohmann-json3-dev libcli11-dev libssl-dev libudev-dev libsqlite3-dev libsodium-dev minisign libpq-dev postgresql
  qt6-base-dev qt6-base-private-dev fonts-arphic-uming xvfb x11-utils
  clang libclang-rt-14-dev
  qt6-translations-l10n
  g++-mingw-w64-x86-64-posix autoconf automake libtool tcl wine64 wine fonts-wine nsis xdotool imagemagick
  perl
  qemu-system-x86 linux-image-amd64 busybox-static socat cpio kmod python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
