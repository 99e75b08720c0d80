#!/usr/bin/env bash
# soak.sh [seconds] [connections]: a soak test of the developer host.
#
# Starts qor-host (build/release/host/qor-host, or $QOR_HOST) with the example scenario and a
# small storefront stand-in, then runs wrk for 60 s at 32 connections over a mix of store
# endpoints (last page, wallet, catalog queries, order notifications, store URL), while a
# second client pushes order and wallet messages through the control API and, as the store's
# user interface does, reads the order notifications and deletes them. Every request of
# the mix deserves a 2xx answer, so every other status, and every socket error, is counted as
# unexpected. Prints the requests served, the unexpected errors, and the resident memory of
# qor-host after warm-up (10 s) and at the end. Exits non-zero when an error was unexpected
# or the memory grew by 5 % or more between those two points.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
connections=${2:-32}
host_bin=${QOR_HOST:-$root/build/release/host/qor-host}
plugin=${QOR_PLUGIN:-}

for tool in wrk curl python3; do
  command -v "$tool" >/dev/null || { echo "soak: $tool is needed" >&2; exit 2; }
done
if [ ! -x "$host_bin" ]; then
  echo "soak: $host_bin not found; build it with: bash scripts/build.sh release" >&2
  exit 2
fi

work=$(mktemp -d /tmp/qor-soak.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The storefront stand-in: wallet and catalog answers, on a free loopback port.
cat >"$work/storefront.py" <<'PY'
import json, sys, threading
from http.server import ThreadingHTTPServer, BaseHTTPRequestHandler
CATALOG = [{"itemId": i, "inventoryType": "CHAMPION_SKIN" if i % 2 else "CHAMPION",
            "prices": [{"currency": "IP", "cost": 450 * i}], "tags": ["t%d" % (i % 5)]}
           for i in range(1, 200)]
class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        if self.path.startswith("/storefront/v2/wallet"):
            body = {"ip": 1200, "vp": 650}
        elif self.path.startswith("/storefront/v1/catalog"):
            body = CATALOG
        else:
            body = {"page": self.path}
        data = json.dumps(body).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
    def log_message(self, *args):
        pass
server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
PY
python3 "$work/storefront.py" >"$work/storefront.port" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/storefront.port" ] && break; sleep 0.1; done
storefront="http://127.0.0.1:$(cat "$work/storefront.port")"

password=soak-$$-$RANDOM
args=(--listen 127.0.0.1:0 --credentials "$work/credentials.json"
      --scenario "$root/host/scenarios/example.json" --storefront "$storefront"
      --log-level error)
[ -n "$plugin" ] && args+=(--plugin "$plugin")
QOR_HOST_PASSWORD=$password "$host_bin" "${args[@]}" >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
pids+=("$host_pid")
for _ in $(seq 100); do [ -s "$work/credentials.json" ] && break; sleep 0.1; done
if [ ! -s "$work/credentials.json" ]; then
  echo "soak: qor-host did not start" >&2
  cat "$work/host.err" >&2
  exit 1
fi
url=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["url"])' \
  "$work/credentials.json")
url=${url%/}
auth="qor:$password"
basic=$(printf '%s' "$auth" | base64 -w0)

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$host_pid/status" 2>/dev/null || echo 0; }

# The control-API client: order and wallet pushes through the control API, alternating, until
# the time is up; like the store's user interface, it reads the order notifications now and
# then and deletes the ones it has seen. It connects from 127.0.0.1 like wrk: qor-host leaves
# room for more than one local client.
cat >"$work/push.py" <<'PY'
import http.client, json, sys, time
url, auth, seconds, out = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]
host, port = url.split("//", 1)[1].rsplit(":", 1)
headers = {"Authorization": "Basic " + auth, "Content-Type": "application/json"}
connection = http.client.HTTPConnection(host, int(port), timeout=10)
sent = failed = deleted = 0

def call(method, path, body=None):
    global connection
    for attempt in (1, 2):
        try:
            connection.request(method, path, body, headers)
            response = connection.getresponse()
            return response.status, response.read()
        except (OSError, http.client.HTTPException) as error:
            connection.close()
            connection = http.client.HTTPConnection(host, int(port), timeout=10)
            if attempt == 2:
                return 0, str(error).encode()

def expect(what, status, body):
    global failed
    if not 200 <= status < 300:
        failed += 1
        print("%s: status %d %s" % (what, status, body[:200]), file=sys.stderr)

base = "/dev/v1/resources?uri=/vaxo-messaging-service/v1/message"
end = time.monotonic() + seconds
n = 0
while time.monotonic() < end:
    n += 1
    if n % 2 == 0:
        resource = "/cap/v1/orders"
        payload = {"id": n, "eventTypeId": "e%d" % n, "eventType": "PURCHASE", "status": "COMPLETED"}
    else:
        resource = "/store/v1/wallet"
        payload = {"accountId": 1, "balances": [{"currency": "IP", "amount": n},
                                                {"currency": "VP", "amount": 2 * n}]}
    message = {"resource": resource, "service": "soak", "version": "1.0", "timestamp": n,
               "payload": json.dumps(payload)}
    expect("push %d" % n, *call("PUT", base + resource, json.dumps(message)))
    sent += 1
    if n % 10 == 0:
        status, body = call("GET", "/qor-store/v1/order-notifications")
        expect("order notifications", status, body)
        for notification in (json.loads(body) if status == 200 else []):
            expect("delete %s" % notification["id"],
                   *call("DELETE", "/qor-store/v1/order-notifications/%d" % notification["id"]))
            deleted += 1
    time.sleep(0.05)
with open(out, "w") as result:
    result.write("%d %d %d\n" % (sent, failed, deleted))
PY
python3 "$work/push.py" "$url" "$basic" "$seconds" "$work/push.result" 2>"$work/push.err" &
pusher=$!
pids+=("$pusher")

# What the host keeps for the control API, in bytes, and the order notifications held.
kept() {
  local list out=""
  for list in log notifications telemetry lcds-calls; do
    out+="$list $(curl -s -u "$auth" "$url/dev/v1/$list" | wc -c), "
  done
  out+="order notifications $(curl -s -u "$auth" "$url/qor-store/v1/order-notifications" |
    python3 -c 'import json, sys; print(len(json.load(sys.stdin)))' 2>/dev/null)"
  echo "$out"
}

# The request mix. wrk cannot tell which request a response answers, so each of these
# deserves success; the Lua side counts statuses and keeps the first unexpected bodies.
# Vector query arguments are given as JSON texts or by index ("name.0").
cat >"$work/mix.lua" <<LUA
local auth = "Basic $basic"
local paths = {
  {"GET", "/qor-store/v1/lastPage"},
  {"GET", "/qor-store/v1/wallet"},
  {"GET", "/qor-store/v1/catalog?inventoryType=%5B%22CHAMPION_SKIN%22%5D"},
  {"GET", "/qor-store/v1/catalog?inventoryType.0=CHAMPION&itemId=%5B2,4,7%5D"},
  {"GET", "/qor-store/v1/catalog?itemId=%5B7%5D"},
  {"GET", "/qor-store/v1/catalog"},
  {"GET", "/qor-store/v1/order-notifications"},
  {"GET", "/qor-store/v1/getStoreUrl"},
}
local threads = {}
function setup(thread)
  table.insert(threads, thread)
end
function init(args)
  counter = 0
  ok = 0
  bad = 0
  statuses = {}
  samples = ""
end
function request()
  counter = counter + 1
  local entry = paths[(counter % #paths) + 1]
  return wrk.format(entry[1], entry[2], {["Authorization"] = auth})
end
function response(status, headers, body)
  statuses[status] = (statuses[status] or 0) + 1
  if status >= 200 and status < 300 then
    ok = ok + 1
  else
    bad = bad + 1
    if #samples < 2000 then samples = samples .. status .. " " .. (body or ""):sub(1, 200) .. "\n" end
  end
end
function done(summary, latency, requests)
  local ok_total, bad_total, seen, text = 0, 0, {}, ""
  for _, thread in ipairs(threads) do
    ok_total = ok_total + thread:get("ok")
    bad_total = bad_total + thread:get("bad")
    for status, count in pairs(thread:get("statuses")) do
      seen[status] = (seen[status] or 0) + count
    end
    text = text .. thread:get("samples")
  end
  local errors = summary.errors
  io.write(string.format("soak-result requests=%d ok=%d unexpected_status=%d socket_errors=%d\n",
    summary.requests, ok_total, bad_total,
    errors.connect + errors.read + errors.write + errors.timeout))
  for status, count in pairs(seen) do io.write(string.format("soak-status %d %d\n", status, count)) end
  if #text > 0 then io.write("soak-samples\n" .. text) end
end
LUA

echo "soak: qor-host pid $host_pid at $url, storefront $storefront"
echo "soak: RSS at start $(rss_kb) kB; wrk ${seconds}s, $connections connections"
wrk -t2 -c"$connections" -d"${seconds}s" --timeout 10s -s "$work/mix.lua" "$url" \
  >"$work/wrk.out" 2>&1 &
wrk_pid=$!
pids+=("$wrk_pid")
warm_after=$((seconds / 6))
[ "$warm_after" -lt 1 ] && warm_after=1
sleep "$warm_after"
rss_warm=$(rss_kb)
kept_warm=$(kept)
wait "$wrk_pid"
rss_end=$(rss_kb)
wait "$pusher"
kept_end=$(kept)

cat "$work/wrk.out"
read -r pushes push_failed deleted <"$work/push.result" 2>/dev/null ||
  { pushes=0; push_failed=1; deleted=0; }
requests=$(sed -n 's/.*soak-result requests=\([0-9]*\).*/\1/p' "$work/wrk.out")
bad=$(sed -n 's/.*unexpected_status=\([0-9]*\).*/\1/p' "$work/wrk.out")
sock=$(sed -n 's/.*socket_errors=\([0-9]*\).*/\1/p' "$work/wrk.out")
requests=${requests:-0} bad=${bad:-1} sock=${sock:-1}
alive=yes
kill -0 "$host_pid" 2>/dev/null || alive=no
growth=$(awk -v a="$rss_warm" -v b="$rss_end" 'BEGIN { if (a > 0) printf "%.2f", (b - a) * 100 / a; else print "n/a" }')
unexpected=$((bad + sock + push_failed))

echo "soak: requests served      $requests (wrk), pushes $pushes, order notifications deleted $deleted"
echo "soak: unexpected errors    $unexpected (statuses $bad, socket $sock, pushes $push_failed)"
echo "soak: RSS after warm-up    $rss_warm kB (at ${warm_after}s)"
echo "soak: RSS at the end       $rss_end kB (growth $growth %)"
echo "soak: kept after warm-up   $kept_warm"
echo "soak: kept at the end      $kept_end"
echo "soak: qor-host still running: $alive"
if [ -s "$work/push.err" ]; then echo "soak: push errors:"; head -5 "$work/push.err"; fi

status=0
[ "$unexpected" = 0 ] || status=1
[ "$alive" = yes ] || status=1
awk -v g="$growth" 'BEGIN { exit !(g != "n/a" && g + 0 < 5) }' || status=1
[ "$status" = 0 ] && echo "soak: passed" || echo "soak: FAILED"
exit "$status"
