#!/usr/bin/env bash
# http-bench.sh [SECONDS [ROUNDS]]: the developer host's HTTP throughput against the floor of
# its HTTP stack. Runs wrk (SECONDS, default 10, at 16 connections) against qor-host serving
# GET /qor-store/v1/lastPage with Basic authentication, then against qor-bench-mhd, a bare
# libmicrohttpd server answering the same bytes with the same threading mode, ROUNDS times
# (default 3), and prints the rates and the median of the rounds' ratios (goal: at least 0.8).
# Builds build/release when needed; QOR_BUILD_DIR names another build directory, configured
# already with -DQOR_BUILD_BENCH=ON; QOR_NO_BUILD=1 measures the binaries as they are.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${QOR_BUILD_DIR:-$root/build/release}
seconds=${1:-10}
rounds=${2:-3}
path=/qor-store/v1/lastPage

command -v wrk >/dev/null || { echo "http-bench.sh: wrk is not installed" >&2; exit 1; }
if [ -z "${QOR_BUILD_DIR:-}" ]; then
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQOR_BUILD_BENCH=ON -DQOR_BUILD_TESTS=OFF \
    >/dev/null
fi
if [ -z "${QOR_NO_BUILD:-}" ]; then
  cmake --build "$dir" -j "${QOR_JOBS:-2}" --target qor-host qor_store qor-bench-mhd >/dev/null
fi

work=$(mktemp -d)
host_pid=
floor_pid=
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  [ -n "$floor_pid" ] && kill "$floor_pid" 2>/dev/null && wait "$floor_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_for() {  # wait_for TEST...: up to 10 s
  for _ in $(seq 100); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# qor-host, with its credentials file.
"$dir/host/qor-host" --listen "127.0.0.1:$(free_port)" --credentials "$work/credentials.json" \
  --log-level none >"$work/host.log" 2>&1 &
host_pid=$!
wait_for test -s "$work/credentials.json" || { echo "qor-host did not start:" >&2; cat "$work/host.log" >&2; exit 1; }
read -r url user password < <(python3 -c '
import json, sys
c = json.load(open(sys.argv[1]))
print(c["url"].rstrip("/"), c["user"], c["password"])' "$work/credentials.json")
auth="Authorization: Basic $(printf '%s:%s' "$user" "$password" | base64 -w0)"

# The reply once, to serve the same bytes from the floor server.
status=$(curl -s -o "$work/body" -w '%{http_code}' -H "$auth" "$url$path")
if [ "${status:0:1}" != 2 ]; then
  echo "http-bench.sh: GET $path answered $status, expected a success" >&2
  exit 1
fi

floor_port=$(free_port)
"$dir/bench/qor-bench-mhd" "$floor_port" "$work/body" "$status" >"$work/floor.log" 2>&1 &
floor_pid=$!
wait_for curl -s -o /dev/null "http://127.0.0.1:$floor_port$path" || { echo "qor-bench-mhd did not start" >&2; exit 1; }
cmp -s "$work/body" <(curl -s "http://127.0.0.1:$floor_port$path") || { echo "the floor server answers other bytes" >&2; exit 1; }

rate() {  # rate URL: requests per second over the run
  wrk -t2 -c16 -d"${seconds}s" -H "$auth" "$1" >"$work/wrk.txt"
  cat "$work/wrk.txt" >&2
  awk '/^Requests\/sec:/ { print $2 }' "$work/wrk.txt"
}
# On a shared machine the rates move with the load of the moment: the two servers take turns,
# round after round, and the ratio reported is the median of the rounds' ratios.
results=()
for round in $(seq "$rounds"); do
  host_rate=$(rate "$url$path")
  floor_rate=$(rate "http://127.0.0.1:$floor_port$path")
  results+=("$host_rate $floor_rate")
  echo "round $round: qor-host $host_rate, bare libmicrohttpd $floor_rate requests/s" >&2
done
echo "reply: status $status, $(wc -c <"$work/body") bytes; wrk ${seconds} s, 16 connections, 2 threads;" \
  "$rounds rounds; load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%s\n' "${results[@]}" | python3 -c '
import statistics, sys
rounds = [tuple(map(float, line.split())) for line in sys.stdin if line.strip()]
for i, (host, floor) in enumerate(rounds, 1):
    print("round %d: qor-host %9.0f  bare libmicrohttpd %9.0f requests/s  ratio %.3f"
          % (i, host, floor, host / floor))
print("median ratio %.3f (goal >= 0.80)" % statistics.median(h / f for h, f in rounds))'
