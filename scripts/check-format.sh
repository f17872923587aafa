#!/usr/bin/env bash
# Checks that C and C++ files follow .clang-format, changing nothing: the
# files changed since BASE (a commit) when one is given, else every tracked
# one, which is what a clean clone can tell. Fails on the first difference
# found in any file and lists them all.
#
#   scripts/check-format.sh [BASE]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -gt 0 ]; then
  mapfile -t files < <(git diff --name-only --diff-filter=AMR "$1" -- '*.cpp' '*.h' '*.c' '*.hpp')
else
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.c' '*.hpp')
fi
[ ${#files[@]} -eq 0 ] && { echo "check-format: nothing to check"; exit 0; }
clang-format --dry-run -Werror "${files[@]}"
echo "check-format: ${#files[@]} files follow .clang-format"
