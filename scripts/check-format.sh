#!/usr/bin/env bash
# Fails when a tracked C or C++ file is not formatted with the repository's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.h' '*.hpp' '*.c' '*.cc' '*.cpp')
((${#files[@]})) || exit 0
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/qor-format.log; then
  grep -m 20 'warning:' /tmp/qor-format.log || true
  echo "format: files above are not formatted; run: clang-format -i \$(git ls-files '*.h' '*.cpp')" >&2
  exit 1
fi
echo "format: ${#files[@]} files formatted"
