#!/usr/bin/env bash
# The test command: installs what is missing, checks formatting, then builds and runs every
# test twice, in a RelWithDebInfo build and in an AddressSanitizer + UndefinedBehaviorSanitizer
# build that stops at the first error and keeps assertions on (no NDEBUG, see CMakeLists.txt).
# Exits non-zero when anything fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh || exit 1
status=0
bash scripts/check-format.sh || status=1

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

run_suite() {
  local name=$1
  shift
  echo "== $name build"
  if ! bash scripts/build.sh "$name" "$@"; then
    echo "== $name build failed"
    return 1
  fi
  echo "== $name tests"
  ctest --test-dir "build/$name" --output-on-failure --timeout 600 -j "$(nproc)"
}

run_suite release || status=1
run_suite asan -DQOR_SANITIZE=address,undefined || status=1

if [ "$status" = 0 ]; then echo "test: all suites passed"; else echo "test: FAILED"; fi
exit "$status"
