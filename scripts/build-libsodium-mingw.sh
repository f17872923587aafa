#!/usr/bin/env bash
# libsodium for the Windows cross build: Debian's own source package, built
# with MinGW-w64 as a static library. The result is cached outside the clone,
# one folder per source version, so that it is built once per machine:
#   ${MX_DEPS_CACHE:-~/.cache/mx7410-deps}/libsodium-<version>-mingw64/{include,lib}
# Prints that folder (for -DMX_SODIUM_PREFIX=...) as its last line.
set -euo pipefail

cache="${MX_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mx7410-deps}"
triplet=x86_64-w64-mingw32
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# The source package needs a deb-src entry; Debian 12 ships none by default.
if ! apt-cache showsrc libsodium 2>/dev/null | grep -q '^Version:'; then
  echo "build-libsodium-mingw: adding Debian's deb-src entries" >&2
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
    $sudo tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  $sudo apt-get update -qq
fi
# The version of the libsodium this machine builds with, so both sides agree.
version="$(dpkg-query -W -f='${source:Version}' libsodium-dev 2>/dev/null || true)"
[ -n "$version" ] || version="$(apt-cache showsrc libsodium | sed -n 's/^Version: //p' | head -n 1)"
prefix="$cache/libsodium-${version//[:~]/_}-mingw64"

if [ -f "$prefix/lib/libsodium.a" ] && [ -f "$prefix/include/sodium.h" ]; then
  echo "$prefix"
  exit 0
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -qq --download-only "libsodium=$version" >/dev/null)
dpkg-source -x "$work"/libsodium_*.dsc "$work/src" >/dev/null
echo "build-libsodium-mingw: building libsodium $version for $triplet" >&2
(
  cd "$work/src"
  # The source package keeps no generated configure script.
  autoreconf -fi >/dev/null 2>&1
  ./configure -q --host="$triplet" --prefix="$prefix.partial" --disable-shared --enable-static \
    --disable-dependency-tracking CC="$triplet-gcc-posix" >/dev/null
  make -s -j"${MX_JOBS:-2}" >/dev/null
  make -s install >/dev/null
)
rm -rf "$prefix"
mv "$prefix.partial" "$prefix"
echo "$prefix"
