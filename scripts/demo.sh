#!/usr/bin/env bash
# The main job: installs what is missing, builds everything and starts the developer host
# with the demo (examples/demo: a logged-in player, the storefront stub inside, the store proxy
# simulated). The README walks through a curl session against it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh release
# qor-host prints its URL, the credentials file and a ready-to-use curl line; Ctrl-C stops it.
exec build/release/host/qor-host --demo "$@"
