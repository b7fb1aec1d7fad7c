#!/bin/bash
# What a broker that returns gets of the events it missed, and the agent's
# memory meanwhile: an agent without units publishes to a broker of the
# script's own; the broker is killed, EVENTS reloads (SIGHUP, one
# config_reloaded event each) happen while it is away, the agent's RSS read
# every thousand; then the broker comes back with a subscriber, and the
# events it passes on are counted.
# Usage: bench/agent_events_away.sh [BUILD_DIR] [EVENTS] (needs mosquitto-clients)
set -euo pipefail
build=${1:-build}
events=${2:-3000}
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

mqtt_port=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n' "$mqtt_port" > "$work/mosquitto.conf"
start_broker() {
  /usr/sbin/mosquitto -c "$work/mosquitto.conf" >/dev/null 2>&1 &
  broker=$!
  pids+=("$broker")
  sleep 1
}
said() { grep -c "$1" "$work/agent.err" || true; }

start_broker
mkdir "$work/state"
printf '[http]\nlisten = "127.0.0.1:%s"\n[agent]\nstate_dir = "%s"\n[mqtt]\nbroker = "mqtt://127.0.0.1:%s"\nclient_id = "row1"\nqos = 1\n' \
  "$(free_port)" "$work/state" "$mqtt_port" > "$work/agent.toml"
"$build/tools/quillark-agent" --config "$work/agent.toml" 2> "$work/agent.err" &
agent=$!
pids+=("$agent")
until [ "$(said 'mqtt: connected')" -ge 1 ]; do sleep 0.1; done
kill "$broker"
until [ "$(said 'lost the broker')" -ge 1 ]; do sleep 0.1; done
echo "RSS connected: $(rss_kb "$agent") kB"
for ((n = 1000; n <= events; n += 1000)); do
  # One at a time: signals sent faster than the agent takes them merge.
  until [ "$(said 'SIGHUP: ')" -ge "$n" ]; do kill -HUP "$agent"; sleep 0.004; done
  echo "$(said 'SIGHUP: ') events while the broker is away: RSS $(rss_kb "$agent") kB"
done
# The agent held while the broker and the subscriber come back, so that the
# subscriber sees whatever the agent sends on reconnecting.
kill -STOP "$agent"
start_broker
mosquitto_sub -p "$mqtt_port" -q 1 -v -t 'quillark/agent/+/events' > "$work/sub.out" &
pids+=($!)
until grep -q probe "$work/sub.out"; do
  mosquitto_pub -p "$mqtt_port" -t quillark/agent/probe/events -m probe
  sleep 0.2
done
kill -CONT "$agent"
until [ "$(said 'mqtt: connected')" -ge 2 ]; do sleep 0.2; done
sleep 3
echo "broker back: RSS $(rss_kb "$agent") kB; the subscriber got $(grep -c ' {"kind":"config_reloaded"' "$work/sub.out") config_reloaded and:"
grep events_dropped "$work/sub.out" | cut -d' ' -f2-
