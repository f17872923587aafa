#!/usr/bin/env bash
# Installs what is missing, builds and runs the tests, stage by stage: the
# formatting, a normal build, the window's title on an X server, the Debian
# package, a build with AddressSanitizer and UndefinedBehaviorSanitizer, real
# serial drivers in a QEMU guest, the fuzzers for a bounded time, and the
# Windows build under Wine.
#
#   scripts/test.sh [STAGE...]   the stages named, in that order; none: all
#   scripts/test.sh --list       the stages' names, in the order of a full run
set -euo pipefail
cd "$(dirname "$0")/.."

stages=(format build window-title package sanitize qemu fuzz windows)

usage() {
  echo "usage: scripts/test.sh [--list] [STAGE...]"
  echo "stages (no name runs them all, in this order): ${stages[*]}"
}

is_stage() {
  local stage
  for stage in "${stages[@]}"; do
    [ "$stage" = "$1" ] && return 0
  done
  return 1
}

# The normal build tree, without running its tests: what the stages that
# use its programs need.
normal_build() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2
}

stage_format() {
  echo "== formatting"
  scripts/check-format.sh
}

stage_build() {
  echo "== normal build"
  normal_build
  ctest --test-dir build --output-on-failure -j2
}

stage_window_title() {
  echo "== the window's title on an X server"
  normal_build
  scripts/check-window-title.sh build
}

stage_package() {
  echo "== Debian package"
  scripts/package.sh build
}

stage_sanitize() {
  echo "== sanitizer build (address, undefined)"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMX_SANITIZE=ON >/dev/null
  cmake --build build-asan -j2
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j2
}

stage_qemu() {
  echo "== real serial drivers in a QEMU guest"
  normal_build
  scripts/test-real-drivers.sh build
}

stage_fuzz() {
  echo "== fuzzers"
  scripts/fuzz.sh
}

stage_windows() {
  echo "== Windows build under Wine"
  scripts/test-windows.sh
}

selected=()
for arg in "$@"; do
  case $arg in
    --list) printf '%s\n' "${stages[@]}"; exit 0 ;;
    -h | --help) usage; exit 0 ;;
    *)
      if ! is_stage "$arg"; then
        echo "scripts/test.sh: unknown stage '$arg'" >&2
        usage >&2
        exit 2
      fi
      selected+=("$arg")
      ;;
  esac
done
[ ${#selected[@]} -gt 0 ] || selected=("${stages[@]}")

scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen

for stage in "${selected[@]}"; do
  "stage_${stage//-/_}"
done
