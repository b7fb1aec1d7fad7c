#!/usr/bin/env bash
# The agent's memory at scale and under HTTP use: UNITS units (50 unit ids a
# simulator, interval 1 s) polled for SETTLE seconds, then REQUESTS HTTP
# requests (a quarter each /metrics, /api/units, one unit's page data and its
# hour of history), then the same again. Prints the agent's RSS after
# settling, after each batch, and the median and slowest /metrics answer.
# With HISTORY=false the agent keeps no trends, so what grows is HTTP's alone.
#   bench/agent_memory.sh [BUILD_DIR] [UNITS] [REQUESTS] [SETTLE]
set -euo pipefail
build=${1:-build}
units=${2:-200}
requests=${3:-10000}
settle=${4:-30}
tools=$build/tools
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

sims=$(((units + 49) / 50))
http=$(free_port)
{
  echo "[agent]"
  echo "state_dir = \"$work\""
  echo "history = ${HISTORY:-true}"
  echo "[http]"
  echo "listen = \"127.0.0.1:$http\""
} > "$work/agent.toml"
for s in $(seq 1 "$sims"); do
  "$tools/quillark-sim" --tcp 127.0.0.1:0 --units 1-50 --port-file "$work/sim$s.port" >/dev/null 2>&1 &
  pids+=($!)
done
for s in $(seq 1 "$sims"); do
  while [ ! -s "$work/sim$s.port" ]; do sleep 0.1; done
  printf '[[link]]\nname = "gw%d"\ntcp = "127.0.0.1:%s"\ntimeout_ms = 1000\nretries = 1\n' \
    "$s" "$(cat "$work/sim$s.port")" >> "$work/agent.toml"
done
for i in $(seq 0 $((units - 1))); do
  printf '[[unit]]\nname = "gw%d-ac%02d"\nlink = "gw%d"\nunit_id = %d\ninterval = 1\n' \
    $((i / 50 + 1)) $((i % 50 + 1)) $((i / 50 + 1)) $((i % 50 + 1)) >> "$work/agent.toml"
done

"$tools/quillark-agent" --config "$work/agent.toml" >/dev/null 2>"$work/agent.err" &
agent=$!
pids+=("$agent")
sleep "$settle"
echo "$units units on $sims links at 1 s, settled for $settle s: RSS $(rss_kb "$agent") kB; load average $(load)"

# Keep-alive requests from one client, as a page or a scraper makes them.
ask() {
  /usr/bin/python3 - "$http" "$1" <<'PY'
import http.client, statistics, sys, time
port, n = int(sys.argv[1]), int(sys.argv[2])
paths = ["/metrics", "/api/units", "/api/units/gw1-ac01", "/api/units/gw1-ac02/history"]
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
took = []
for i in range(n):
    path = paths[i % len(paths)]
    start = time.monotonic()
    try:
        conn.request("GET", path)
        conn.getresponse().read()
    except (http.client.HTTPException, OSError):
        conn.close()
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        continue
    if path == "/metrics":
        took.append(time.monotonic() - start)
print("/metrics: median %.1f ms, slowest %.1f ms over %d" %
      (1000 * statistics.median(took), 1000 * max(took), len(took)))
PY
}
for batch in 1 2; do
  ask "$requests"
  echo "after $((batch * requests)) requests: RSS $(rss_kb "$agent") kB"
done
