#!/usr/bin/env bash
# The main job: installs what is missing, builds everything and starts the developer host
# with its demo scenario.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh release
host="build/release/host/qor-host"
if [ -x "$host" ]; then
  exec "$host" --demo "$@"
fi
echo "Built everything under build/release. The developer host (qor-host) is not there yet."
