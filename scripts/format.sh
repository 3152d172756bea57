#!/usr/bin/env bash
# Lays out the C and C++ sources as .clang-format says (clang-format 14);
# with --check, changes nothing and fails naming the files that differ.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' | grep -v '/corpus/')
if [ "${1:-}" = "--check" ]; then
  echo "test: source layout (clang-format)"
  clang-format-14 --dry-run --Werror "${files[@]}"
else
  clang-format-14 -i "${files[@]}"
fi
