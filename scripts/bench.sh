#!/usr/bin/env bash
# bench.sh [compare.py options...]: builds qor-bench (build/bench, optimised, with debug info
# for profiles) and prints the table of ratios against the peer libraries.
#   scripts/bench.sh                       # 9 repetitions, CPU time
#   scripts/bench.sh --repetitions 15 --save run.json
# The allocation counts of a catalog-shaped tree: build/bench/bench/qor-binding-bench
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build/bench"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_BUILD_BENCH=ON \
  -DQOR_BUILD_TESTS=OFF -DQOR_SUBSYSTEMS="foundation;binding;api" >/dev/null
cmake --build "$dir" -j "${QOR_JOBS:-2}" --target qor-bench qor-binding-bench >/dev/null
# Debian's interpreter: the one the dependency script installs matplotlib for.
exec /usr/bin/python3 "$root/bench/compare.py" --bench "$dir/bench/qor-bench" "$@"
