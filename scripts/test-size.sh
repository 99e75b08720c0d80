#!/usr/bin/env bash
# Prints the size of the code and of the tests in non-blank, non-comment lines of C, C++,
# Python and shell files, per folder and in total, and the ratio tests / code. fuzz/, bench/,
# examples/ and data files count on neither side.
set -euo pipefail
cd "$(dirname "$0")/.."

# Counts the lines of the tracked (or, outside git, present) source files under the folders
# given: blank lines and comment lines (//, /* ... */ blocks, # in Python and shell) are left out.
count() {
  local files
  files=$( (git ls-files -co --exclude-standard -- "$@" 2>/dev/null || find "$@" -type f) |
    grep -E '\.(cpp|h|c|py|sh)$' || true)
  [ -n "$files" ] || { echo 0; return; }
  # shellcheck disable=SC2086
  awk '
    FNR == 1 { block = 0; hash = (FILENAME ~ /\.(py|sh)$/) }
    {
      line = $0
      sub(/^[ \t]+/, "", line); sub(/[ \t\r]+$/, "", line)
      if (block) { if (line ~ /\*\//) { block = 0; sub(/.*\*\//, "", line) } else next }
      if (!hash && line ~ /^\/\*/) { if (line !~ /\*\//) { block = 1; next } sub(/^\/\*.*\*\//, "", line) }
      if (line == "") next
      if (!hash && line ~ /^\/\//) next
      if (hash && line ~ /^#/ && line !~ /^#!/) next
      n++
    }
    END { print n + 0 }' $files
}

code_dirs=(foundation binding api runtime store host tools)
total=0
printf '%-18s %8s\n' folder lines
for d in "${code_dirs[@]}"; do
  n=$(count "$d")
  total=$((total + n))
  printf '%-18s %8d\n' "$d/" "$n"
done
printf '%-18s %8d\n' "code" "$total"
echo
tests=0
for d in tests/*/; do
  d=${d%/}
  n=$(count "$d")
  tests=$((tests + n))
  printf '%-18s %8d\n' "$d/" "$n"
done
printf '%-18s %8d\n' "tests" "$tests"
echo
awk -v t="$tests" -v c="$total" 'BEGIN { printf "tests / code: %.3f (at most 0.400)\n", (c ? t / c : 0) }'
