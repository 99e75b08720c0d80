#!/usr/bin/env bash
# build.sh NAME [cmake options...]: configures and builds build/NAME with every core.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=$1
shift
dir="$root/build/$name"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
