#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: a normal build, a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, the fuzzers for
# a bounded time, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen

echo "== formatting"
scripts/check-format.sh

echo "== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

echo "== the window's title on an X server"
scripts/check-window-title.sh build

echo "== Debian package"
scripts/package.sh build

echo "== sanitizer build (address, undefined)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMX_SANITIZE=ON >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j2

echo "== real serial drivers in a QEMU guest"
scripts/test-real-drivers.sh build

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzzers"
  scripts/fuzz.sh
fi

if [ -x scripts/test-windows.sh ]; then
  echo "== Windows build under Wine"
  scripts/test-windows.sh
fi
