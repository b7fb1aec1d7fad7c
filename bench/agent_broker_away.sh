#!/bin/bash
# The agent's memory while its MQTT broker is away: 200 units (4 simulators
# of 50 unit ids) at a 1 s interval publish to a broker of the script's own;
# the broker is killed for MINUTES, the agent's RSS read every minute, then
# the broker comes back and the statuses in the first 5 s after the agent's
# return are counted.
# Usage: bench/agent_broker_away.sh [BUILD_DIR] [MINUTES] (needs mosquitto-clients)
set -euo pipefail
build=${1:-build}
minutes=${2:-10}
tools=$build/tools
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

start_broker() {
  /usr/sbin/mosquitto -c "$work/mosquitto.conf" >/dev/null 2>&1 &
  broker=$!
  pids+=("$broker")
  sleep 1
}

ports=()
for s in 1 2 3 4; do
  "$tools/quillark-sim" --tcp 127.0.0.1:0 --units 1-50 --port-file "$work/sim$s.port" >/dev/null 2>&1 &
  pids+=($!)
done
for s in 1 2 3 4; do
  while [ ! -s "$work/sim$s.port" ]; do sleep 0.1; done
  ports+=("$(cat "$work/sim$s.port")")
done
mqtt_port=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$mqtt_port" > "$work/mosquitto.conf"
start_broker
{
  printf '[http]\nlisten = "127.0.0.1:%s"\n' "$(free_port)"
  printf '[mqtt]\nbroker = "mqtt://127.0.0.1:%s"\nqos = 1\n' "$mqtt_port"
  for s in 1 2 3 4; do
    printf '[[link]]\nname = "gw%d"\ntcp = "127.0.0.1:%s"\n' "$s" "${ports[$((s - 1))]}"
    for u in $(seq 1 50); do
      printf '[[unit]]\nname = "gw%d-ac%02d"\nlink = "gw%d"\nunit_id = %d\ninterval = 1\n' "$s" "$u" "$s" "$u"
    done
  done
} > "$work/agent.toml"
"$tools/quillark-agent" --config "$work/agent.toml" 2>"$work/agent.err" &
agent=$!
pids+=("$agent")

sleep 30
echo "connected, 30 s: RSS $(rss_kb "$agent") kB"
kill -9 "$broker"
for m in $(seq 1 "$minutes"); do
  sleep 60
  echo "broker away $m min: RSS $(rss_kb "$agent") kB"
done
start_broker
# The agent's pause before its next attempt has grown to 30 s by now.
{ mosquitto_sub -p "$mqtt_port" -F '%U' -t 'quillark/+/status' -W 40 2>/dev/null || true; } |
  awk 'NR == 1 { first = $1 } $1 < first + 5 { n++ } END { print "statuses in the first 5 s after the first: " n + 0 }'
echo "broker back: RSS $(rss_kb "$agent") kB"
grep -c 'mqtt:' "$work/agent.err" | sed 's/^/mqtt log lines: /'
