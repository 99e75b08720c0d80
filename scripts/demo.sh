#!/usr/bin/env bash
# The main job: installs what is missing, builds everything and starts the developer host
# with its example scenario.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh release
# qor-host prints its URL, the credentials file and a ready-to-use curl line; Ctrl-C stops it.
exec build/release/host/qor-host --scenario host/scenarios/example.json "$@"
