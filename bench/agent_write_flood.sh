#!/usr/bin/env bash
# A flood of writes to a unit that never answers, on a link shared with 50
# units polled every second (one simulator answering unit ids 1-50; the
# flooded unit is id 51, which nobody answers, with 16 writable registers).
# Prints what the writes got and the worst gap between an answering unit's
# rounds before and during the flood; the link's timeout is 1 s, so the goal
# is at most 2 s.
#   bench/agent_write_flood.sh [BUILD_DIR] [WRITES]
set -euo pipefail
build=${1:-build}
writes=${2:-10000}
tools=$build/tools
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]+"${pids[@]}"}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

"$tools/quillark-sim" --tcp 127.0.0.1:0 --units 1-50 --port-file "$work/sim.port" >/dev/null 2>&1 &
pids+=($!)
mqtt_port=$(free_port)
# Every result kept for the subscriber, however many come at once.
printf 'listener %s 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n' "$mqtt_port" > "$work/mosquitto.conf"
/usr/sbin/mosquitto -c "$work/mosquitto.conf" >/dev/null 2>&1 &
pids+=($!)
while [ ! -s "$work/sim.port" ]; do sleep 0.1; done
{
  printf '[http]\nlisten = "127.0.0.1:%s"\n' "$(free_port)"
  printf '[mqtt]\nbroker = "mqtt://127.0.0.1:%s"\nclient_id = "flood"\nqos = 1\n' "$mqtt_port"
  printf '[[link]]\nname = "gw"\ntcp = "127.0.0.1:%s"\ntimeout_ms = 1000\nretries = 1\n' "$(cat "$work/sim.port")"
  for u in $(seq 1 50); do
    printf '[[unit]]\nname = "ac%02d"\nlink = "gw"\nunit_id = %d\ninterval = 1\n' "$u" "$u"
  done
  # Rounds an hour apart: not known to be offline while the flood lasts.
  printf '[[unit]]\nname = "mute"\nlink = "gw"\nunit_id = 51\ninterval = 3600\nwrites = [%s]\n' "$(seq -s ', ' 100 115)"
} > "$work/agent.toml"
"$tools/quillark-agent" --config "$work/agent.toml" >/dev/null 2>"$work/agent.err" &
pids+=($!)
sleep 5  # the link open, every unit polled once
"$build/bench/quillark_agent_flood" "$mqtt_port" mute 100 115 "$writes" 20
