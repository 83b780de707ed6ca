#!/usr/bin/env bash
# Checks that every C++ source under src/ is formatted as .clang-format says,
# with the clang-format that the test extra pins (installed in .venv by
# tools/test.sh); fails naming the files that are not.
#   tools/check-format.sh        check
#   tools/check-format.sh --fix  format them in place
set -euo pipefail
cd "$(dirname "$0")/.."

clang_format=.venv/bin/clang-format
if [ ! -x "$clang_format" ]; then
  echo "check-format: $clang_format is missing; run tools/test.sh (or install the test extra) first" >&2
  exit 2
fi
mapfile -t sources < <(git ls-files 'src/*.cpp' 'src/*.hpp')
if [ "${1:-}" = "--fix" ]; then
  "$clang_format" -i "${sources[@]}"
  exit 0
fi
"$clang_format" --dry-run --Werror "${sources[@]}"
echo "check-format: ${#sources[@]} C++ files formatted as .clang-format says"
