#!/usr/bin/env bash
# libsodium for the Windows cross build: Debian's own source package, built
# with MinGW-w64 as a static library. Cached outside the clone, one folder
# per source version, built once per machine (scripts/mingw-deps-common.sh):
#   ${MX_DEPS_CACHE:-~/.cache/mx7410-deps}/libsodium-<version>-mingw64/{include,lib}
# Prints that folder (for -DMX_SODIUM_PREFIX=...) as its last line.
set -euo pipefail
source "$(dirname "$0")/mingw-deps-common.sh"

ensure_debian_sources libsodium
version=$(debian_source_version libsodium libsodium-dev)
[ -n "$version" ] || { echo "build-libsodium-mingw: apt knows no libsodium source package" >&2; exit 1; }
prefix=$(mingw_deps_prefix libsodium "$version")
if [ -f "$prefix/lib/libsodium.a" ] && [ -f "$prefix/include/sodium.h" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unpack_debian_source libsodium "$version" "$work/src"
echo "build-libsodium-mingw: building libsodium $version for $mingw_triplet" >&2
mkdir -p "$mingw_deps_cache"
partial=$(mktemp -d "$prefix.partial.XXXXXX")
(
  cd "$work/src"
  # The source package keeps no generated configure script.
  autoreconf -fi >/dev/null 2>&1
  ./configure -q --host="$mingw_triplet" --prefix="$partial" --disable-shared --enable-static \
    --disable-dependency-tracking CC="$mingw_triplet-gcc-posix" >/dev/null
  make -s -j"${MX_JOBS:-2}" >/dev/null
  make -s install >/dev/null
)
publish_mingw_deps "$partial" "$prefix"
echo "$prefix"
