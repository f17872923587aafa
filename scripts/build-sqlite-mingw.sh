#!/usr/bin/env bash
# SQLite for the Windows cross build: the single-file amalgamation made from
# Debian's source package, compiled with MinGW-w64 as a static library.
# Cached outside the clone, one folder per source version, built once per
# machine (scripts/mingw-deps-common.sh):
#   ${MX_DEPS_CACHE:-~/.cache/mx7410-deps}/sqlite-<version>-mingw64/{include,lib}
# Prints that folder as its last line.
set -euo pipefail
source "$(dirname "$0")/mingw-deps-common.sh"

ensure_debian_sources sqlite3
version=$(debian_source_version sqlite3 libsqlite3-dev)
[ -n "$version" ] || { echo "build-sqlite-mingw: apt knows no sqlite3 source package" >&2; exit 1; }
prefix=$(mingw_deps_prefix sqlite "$version")
if [ -f "$prefix/lib/libsqlite3.a" ] && [ -f "$prefix/include/sqlite3.h" ]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unpack_debian_source sqlite3 "$version" "$work/src"
echo "build-sqlite-mingw: building SQLite $version for $mingw_triplet" >&2

# The source package holds SQLite's full tree; its native build (with tclsh)
# puts the amalgamation together.
mkdir "$work/native"
(cd "$work/native" && "$work/src/configure" -q --disable-tcl --disable-readline >/dev/null &&
  make -s sqlite3.c >/dev/null)

# Debian's options that change how SQL and the file behave, so that both
# builds agree; no extension loading: no other code comes into our programs.
options=(
  -DSQLITE_THREADSAFE=1 -DSQLITE_USE_URI=1 -DSQLITE_SECURE_DELETE -DSQLITE_MAX_SCHEMA_RETRY=25
  -DSQLITE_LIKE_DOESNT_MATCH_BLOBS -DSQLITE_ALLOW_ROWID_IN_VIEW
  -DSQLITE_OMIT_LOAD_EXTENSION
)
mkdir -p "$mingw_deps_cache"
partial=$(mktemp -d "$prefix.partial.XXXXXX")
mkdir "$partial/include" "$partial/lib"
"$mingw_triplet-gcc-posix" -O2 -fno-strict-aliasing "${options[@]}" -c "$work/native/sqlite3.c" -o "$work/sqlite3.o"
"$mingw_triplet-ar" rcs "$partial/lib/libsqlite3.a" "$work/sqlite3.o"
cp "$work/native/sqlite3.h" "$work/src/src/sqlite3ext.h" "$partial/include/"
cp "$work/src/LICENSE.md" "$partial/"
chmod 755 "$partial"
publish_mingw_deps "$partial" "$prefix"
echo "$prefix"
