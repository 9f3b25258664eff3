#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what .clang-format makes of it.
# `scripts/check-format.sh --fix` rewrites the files instead.
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=clang-format-14
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  "$formatter" -i "${files[@]}"
else
  "$formatter" --dry-run --Werror "${files[@]}"
  echo "check-format: ${#files[@]} files follow .clang-format"
fi
