#!/usr/bin/env bash
# fuzz-campaign.sh [seconds-per-target] [target...]: a fuzzing campaign by hand.
#
# Builds the libFuzzer targets with clang-14 (AddressSanitizer + UndefinedBehaviorSanitizer,
# coverage on the project's libraries) in build/fuzz, then runs each target in turn, one at a
# time, for the given time (default 300 s) over its committed seed corpus fuzz/corpus/<name>
# with its dictionary. Inputs that add coverage are merged into fuzz/corpus/<name>. Findings
# (crash-, leak-, oom-, timeout- files) land in fuzz/findings/ as <name>-<kind>-<hash>: they
# are not replayed by the tests; rename a confirmed one crash-<name>-<what> and move it into
# the corpus once its fault is fixed.
#
# Prints per target: executions, libFuzzer's cov: figure and the number of findings.
# Environment: FORK=1 runs each target with -fork=1 and keeps going after a crash;
# FUZZ_ARGS adds libFuzzer options; JOBS sets the build's parallelism (default 2).
# CPU=1 counts the time per target in CPU seconds of the fuzzing process rather than wall
# seconds, so a campaign niced behind other work still gets its full budget.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-300}
shift || true
all=(json msgpack yaml format route dispatch records)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
dir=build/fuzz
jobs=${JOBS:-2}

command -v clang++-14 >/dev/null || { echo "fuzz-campaign: clang++-14 is needed" >&2; exit 2; }
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQOR_BUILD_FUZZ=ON -DQOR_SANITIZE=address,undefined -DQOR_BUILD_TESTS=OFF \
  -DQOR_SUBSYSTEMS="foundation;binding;api;runtime;store" >/dev/null || exit 1
build_targets=()
for name in "${targets[@]}"; do build_targets+=("fuzz_$name"); done
cmake --build "$dir" -j "$jobs" --target "${build_targets[@]}" || exit 1

mkdir -p fuzz/findings "$dir/campaign"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
summary=()
for name in "${targets[@]}"; do
  binary="$dir/fuzz/fuzz_$name"
  work="$dir/campaign/$name"
  log="$dir/campaign/$name.log"
  mkdir -p "$work" "fuzz/corpus/$name"
  before=$(ls fuzz/findings | wc -l)
  limit=$seconds
  [ "${CPU:-0}" = 1 ] && limit=$((seconds * 20))
  options=(-max_total_time="$limit" -print_final_stats=1 -timeout=20 -rss_limit_mb=2048
           -artifact_prefix="fuzz/findings/$name-")
  [ -f "fuzz/dict/$name.dict" ] && options+=(-dict="fuzz/dict/$name.dict")
  [ "${FORK:-0}" = 1 ] && options+=(-fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1)
  echo "== fuzz_$name for ${seconds}s"
  # shellcheck disable=SC2086
  "$binary" "${options[@]}" ${FUZZ_ARGS:-} "$work" "fuzz/corpus/$name" >"$log" 2>&1 &
  pid=$!
  used=
  if [ "${CPU:-0}" = 1 ]; then
    # utime + stime (fields 14 and 15 of /proc/PID/stat, in clock ticks) against the budget.
    ticks=$(getconf CLK_TCK)
    while kill -0 "$pid" 2>/dev/null; do
      used=$(awk '{print int(($14 + $15) / '"$ticks"')}' "/proc/$pid/stat" 2>/dev/null || echo 0)
      if [ "${used:-0}" -ge "$seconds" ]; then kill -INT "$pid"; break; fi
      sleep 5
    done
  fi
  wait "$pid"
  code=$?
  cpu_used=${used:-}
  # Keep what added coverage, in the committed corpus.
  "$binary" -merge=1 "fuzz/corpus/$name" "$work" >>"$log" 2>&1 || true
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ -z "$execs" ]; then
    execs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
  fi
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | awk '{print $2}')
  after=$(ls fuzz/findings | wc -l)
  findings=$((after - before))
  line=$(printf '%-9s executions %-10s cov: %-6s findings %s (exit %s%s)' "$name" "${execs:-?}" \
    "${cov:-?}" "$findings" "$code" "${cpu_used:+, ${cpu_used} CPU s}")
  echo "$line"
  [ "$findings" -gt 0 ] && grep -m3 -E 'ERROR: |runtime error|fuzz check failed' "$log"
  summary+=("$line")
done
echo "== summary (logs in $dir/campaign/)"
printf '%s\n' "${summary[@]}"
