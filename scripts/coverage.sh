#!/usr/bin/env bash
# coverage.sh [ctest options...]: a gcc --coverage Debug build in build/coverage, the CTest
# suite, then gcovr's line and branch coverage per folder of the code (foundation, binding, api,
# runtime, store, host, tools) and in total. The full report is kept in
# build/coverage/coverage.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
dir=build/coverage
jobs=${JOBS:-$(nproc)}

# No compiler launcher: a cache may record relative source paths that gcovr cannot find.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER= \
  -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$dir" -j "$jobs"
# Counts from an earlier run would add up with this one's.
find "$dir" -name '*.gcda' -delete
ctest --test-dir "$dir" --timeout 600 -j "$jobs" "$@" || echo "coverage: some tests failed (figures below still count them)"

folders=(foundation binding api runtime store host tools)
# gcov here writes some negative branch counts, which gcovr refuses unless told to go on.
gcovr_common=(--root "$root" --object-directory "$dir" --gcov-ignore-parse-errors
  --exclude-unreachable-branches --exclude-throw-branches -j "$jobs")
filters=()
for f in "${folders[@]}"; do filters+=(--filter "$root/$f/"); done
gcovr "${gcovr_common[@]}" "${filters[@]}" --txt "$dir/coverage.txt" --json-summary "$dir/summary.json" >/dev/null

python3 - "$dir/summary.json" "${folders[@]}" <<'PY'
import json, sys
summary = json.load(open(sys.argv[1]))
folders = sys.argv[2:]
totals = {f: [0, 0, 0, 0] for f in folders}
for entry in summary["files"]:
    top = entry["filename"].split("/", 1)[0]
    if top in totals:
        t = totals[top]
        t[0] += entry["line_covered"]; t[1] += entry["line_total"]
        t[2] += entry["branch_covered"]; t[3] += entry["branch_total"]
pct = lambda a, b: f"{100.0 * a / b:5.1f}%" if b else "    -"
print(f"{'folder':<12} {'lines':>7} {'line cov':>9} {'branches':>9} {'branch cov':>11}")
all_ = [0, 0, 0, 0]
for f in folders:
    t = totals[f]
    all_ = [x + y for x, y in zip(all_, t)]
    print(f"{f + '/':<12} {t[1]:>7} {pct(t[0], t[1]):>9} {t[3]:>9} {pct(t[2], t[3]):>11}")
print(f"{'total':<12} {all_[1]:>7} {pct(all_[0], all_[1]):>9} {all_[3]:>9} {pct(all_[2], all_[3]):>11}")
PY
