#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each one for
# FUZZ_SECONDS (default 30) on a copy of its seed corpus, so the repository's
# corpus stays untouched. Fails when a target crashes or reports an error.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS="${FUZZ_SECONDS:-30}"
BUILD_DIR="${FUZZ_BUILD_DIR:-build-fuzz}"
TARGETS=(fuzz_reply_parser fuzz_hex_check fuzz_minisign fuzz_package)

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMX_BUILD_FUZZERS=ON -DMX_BUILD_TESTS=OFF -DMX_BUILD_GUI=OFF >/dev/null
cmake --build "$BUILD_DIR" -j2 --target "${TARGETS[@]}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for target in "${TARGETS[@]}"; do
  echo "== $target for ${FUZZ_SECONDS}s"
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  if [ -d "fuzz/corpus/$target" ]; then
    cp -R "fuzz/corpus/$target/." "$work/$target/corpus/"
  fi
  if ! "$BUILD_DIR/fuzz/$target" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
      -artifact_prefix="$work/$target/artifacts/" "$work/$target/corpus" >"$work/$target/log" 2>&1; then
    tail -n 60 "$work/$target/log"
    echo "$target failed; crashing inputs:" >&2
    ls -l "$work/$target/artifacts" >&2 || true
    mkdir -p "$BUILD_DIR/fuzz-artifacts/$target"
    cp -R "$work/$target/artifacts/." "$BUILD_DIR/fuzz-artifacts/$target/" 2>/dev/null || true
    echo "copied to $BUILD_DIR/fuzz-artifacts/$target" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units|^Done" "$work/$target/log" || true
done
echo "fuzzers: no crashes"
