#!/usr/bin/env bash
# Builds the Debian package from a build tree (made and built here when
# missing) and checks it: the files it must hold, the unpacked mx7410-flash
# running, the desktop entry valid, and no lintian errors. Installs nothing.
#
#   scripts/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2
(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
package="$build/mx7410-updater_${version}_$(dpkg --print-architecture).deb"
[ -f "$package" ] || { echo "package: $package was not made" >&2; exit 1; }
echo "package: $package ($(du -k "$package" | cut -f1) KiB)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

dpkg-deb -c "$package" | awk '{print $NF}' | sed 's#^\./#/#' >"$work/files"
missing=0
for file in /usr/bin/mx_7410Update /usr/bin/mx7410-flash /usr/bin/mx7410-sim \
            /usr/share/applications/mx7410-update.desktop \
            /usr/share/icons/hicolor/scalable/apps/mx7410-update.svg \
            /usr/share/bash-completion/completions/mx7410-flash \
            /usr/share/man/man1/mx7410-flash.1.gz /usr/share/man/man1/mx7410-sim.1.gz \
            /usr/share/man/man1/mx_7410Update.1.gz /usr/share/doc/mx7410-updater/changelog.gz \
            /usr/share/doc/mx7410-updater/README.md /usr/share/doc/mx7410-updater/copyright \
            /usr/share/doc/mx7410-updater/docs/command-line.md; do
  grep -qxF "$file" "$work/files" || { echo "package: $file is missing" >&2; missing=1; }
done
[ "$missing" -eq 0 ] || exit 1
echo "package: holds the programs, the desktop entry, the icon, the completion, the man pages and the documents"

dpkg-deb --field "$package" Depends
dpkg -x "$package" "$work/root"
"$work/root/usr/bin/mx7410-flash" --version
"$work/root/usr/bin/mx7410-sim" --version
desktop-file-validate "$work/root/usr/share/applications/mx7410-update.desktop"
echo "package: the desktop entry validates"
bash -n "$work/root/usr/share/bash-completion/completions/mx7410-flash"
echo "package: the bash completion parses"

if command -v lintian >/dev/null 2>&1; then
  # Errors fail the check; the warnings left are explained in the README.
  lintian --tag-display-limit 0 "$package" | tee "$work/lintian" || true
  if grep -q '^E:' "$work/lintian"; then
    echo "package: lintian reports errors" >&2
    exit 1
  fi
  echo "package: lintian reports no errors"
elif [ "${CI:-}" = "true" ]; then
  echo "package: lintian is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
