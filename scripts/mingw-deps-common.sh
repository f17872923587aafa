# Sourced by the scripts/build-*-mingw.sh scripts: a library from Debian's
# source package, cross-built with MinGW-w64 once per machine and kept
# outside the clone, one folder per source version:
#   ${MX_DEPS_CACHE:-~/.cache/mx7410-deps}/NAME-<version>-mingw64/{include,lib}

mingw_triplet=x86_64-w64-mingw32
mingw_deps_cache="${MX_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mx7410-deps}"
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)

# Source packages need deb-src entries; Debian 12 lists none by default.
ensure_debian_sources() {
  local source=$1
  # grep reads to the end: with pipefail, an early exit would fail apt-cache.
  apt-cache showsrc "$source" 2>/dev/null | grep '^Version:' >/dev/null && return 0
  echo "mingw-deps: adding Debian's deb-src entries" >&2
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
    "${as_root[@]}" tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  "${as_root[@]}" apt-get update -qq
}

# The version of SOURCE that the installed BINARY package came from, so that
# the Linux and the Windows builds use the same one; else the newest known.
debian_source_version() {
  local source=$1 binary=$2 version
  version=$(dpkg-query -W -f='${source:Version}' "$binary" 2>/dev/null || true)
  [ -n "$version" ] || version=$(apt-cache showsrc "$source" | awk '/^Version: / && !v { v = $2 } END { print v }')
  echo "$version"
}

# The cache folder of NAME at VERSION (no ':' or '~' in file names).
mingw_deps_prefix() {
  local version=$2
  echo "$mingw_deps_cache/$1-${version//[:~]/_}-mingw64"
}

# Unpacks SOURCE=VERSION into DIR (which must not exist yet).
unpack_debian_source() {
  local source=$1 version=$2 dir=$3 download
  download=$(mktemp -d)
  chmod 755 "$download"  # apt downloads as its own user where it can
  (cd "$download" && apt-get source -qq --download-only "$source=$version" >/dev/null 2>&1)
  dpkg-source -x "$download/${source}_"*.dsc "$dir" >/dev/null 2>&1
  rm -rf "$download"
}

# Moves the finished build in PARTIAL to PREFIX. When another run got there
# first, its build stays and this one goes.
publish_mingw_deps() {
  local partial=$1 prefix=$2
  mv -T "$partial" "$prefix" 2>/dev/null || rm -rf "$partial"
}
