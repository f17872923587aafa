#!/usr/bin/env bash
# libpq for the Windows cross build: Debian's own PostgreSQL source package,
# of which only libpq and the port and common pieces it needs are built with
# MinGW-w64, as static libraries. No TLS (OpenSSL) and no GSSAPI: the
# programs then carry no crypto library of someone else's. Cached outside
# the clone, one folder per source version, built once per machine
# (scripts/mingw-deps-common.sh):
#   ${MX_DEPS_CACHE:-~/.cache/mx7410-deps}/libpq-<version>-mingw64/{include,lib}
# lib holds libpq.a, libpgcommon_shlib.a and libpgport_shlib.a; link them
# in that order, then ws2_32, secur32, shell32 and advapi32.
# Prints that folder (for -DMX_LIBPQ_PREFIX=...) as its last line.
set -euo pipefail
source "$(dirname "$0")/mingw-deps-common.sh"

source_package=postgresql-15
ensure_debian_sources "$source_package"
version=$(debian_source_version "$source_package" libpq-dev)
[ -n "$version" ] || { echo "build-libpq-mingw: apt knows no $source_package source package" >&2; exit 1; }
prefix=$(mingw_deps_prefix libpq "$version")
if [ -f "$prefix/lib/libpq.a" ] && [ -f "$prefix/include/libpq-fe.h" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unpack_debian_source "$source_package" "$version" "$work/src"
echo "build-libpq-mingw: building libpq $version for $mingw_triplet" >&2
mkdir -p "$mingw_deps_cache"
partial=$(mktemp -d "$prefix.partial.XXXXXX")
(
  cd "$work/src"
  ./configure -q --host="$mingw_triplet" --prefix="$partial" --without-readline --without-zlib \
    --without-openssl --without-gssapi --without-icu --without-ldap --without-llvm \
    CC="$mingw_triplet-gcc-posix" >"$work/configure.log" 2>&1 ||
    { tail -n 20 "$work/configure.log" >&2; exit 1; }
  jobs=-j"${MX_JOBS:-2}"
  # The generated headers, then only what libpq links with: the backend and
  # the programs are not built.
  make -s "$jobs" -C src/backend generated-headers >/dev/null
  make -s "$jobs" -C src/port libpgport_shlib.a >/dev/null
  make -s "$jobs" -C src/common libpgcommon_shlib.a >/dev/null
  # libpq's objects alone: its Makefile would link a DLL.
  printf 'mx-objects: $(OBJS)\n' >"$work/objects.mk"
  make -s "$jobs" -C src/interfaces/libpq -f Makefile -f "$work/objects.mk" mx-objects >/dev/null
)
mkdir -p "$partial/include" "$partial/lib"
src=$work/src
# On Windows, PostgreSQL's own libpq.a is the DLL's import library: the
# objects go into an archive here instead, without the DLL's version resource.
# libpq brings a few pthread functions of its own, with a mutex unlike
# winpthread's; they are renamed, so that both live in one program.
libpq_objects=$(ls "$src/src/interfaces/libpq/"*.o | grep -v '/win32ver\.o$')
"$mingw_triplet-nm" --defined-only "$src/src/interfaces/libpq/pthread-win32.o" |
  awk '$2 == "T" { print $3, "mx_pq_" $3 }' >"$work/pthread-names"
"$mingw_triplet-ar" rcs "$partial/lib/libpq.a" $libpq_objects
"$mingw_triplet-objcopy" --redefine-syms="$work/pthread-names" "$partial/lib/libpq.a"
cp "$src/src/common/libpgcommon_shlib.a" "$src/src/port/libpgport_shlib.a" "$partial/lib/"
cp "$src/src/interfaces/libpq/libpq-fe.h" "$src/src/include/postgres_ext.h" "$src/src/include/pg_config_ext.h" \
  "$partial/include/"
cp "$src/COPYRIGHT" "$partial/"
chmod 755 "$partial"
publish_mingw_deps "$partial" "$prefix"
echo "$prefix"
