#!/usr/bin/env bash
# A flood of writes to a unit that never answers, on a link shared with 50
# units polled every second (one simulator answering unit ids 1-50; the
# flooded unit is id 51, which nobody answers, with 16 writable registers).
# The end of every unit's rounds is read from the agent's own
# quillark_last_round_timestamp_seconds, four times a second. Prints what the
# writes got and the worst gap between the ends of an answering unit's
# rounds in the 20 s before the flood and during it (from its first write
# until 3 s after the last result); the link's timeout is 1 s, so the goal is
# at most 2 s.
#   bench/agent_write_flood.sh [BUILD_DIR] [WRITES]
set -euo pipefail
build=${1:-build}
writes=${2:-10000}
tools=$build/tools
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

"$tools/quillark-sim" --tcp 127.0.0.1:0 --units 1-50 --port-file "$work/sim.port" >/dev/null 2>&1 &
pids+=($!)
mqtt_port=$(free_port)
# Every result kept for the subscriber, however many come at once.
printf 'listener %s 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n' "$mqtt_port" > "$work/mosquitto.conf"
/usr/sbin/mosquitto -c "$work/mosquitto.conf" >/dev/null 2>&1 &
pids+=($!)
while [ ! -s "$work/sim.port" ]; do sleep 0.1; done
http=$(free_port)
{
  printf '[http]\nlisten = "127.0.0.1:%s"\n' "$http"
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

sample() {
  while :; do
    curl -s "http://127.0.0.1:$http/metrics" | awk '/^quillark_last_round_timestamp_seconds/ { print $1, $2 }'
    sleep 0.25
  done
}
sample > "$work/rounds.txt" &
sampler=$!
pids+=("$sampler")
sleep 20
"$build/bench/quillark_agent_flood" "$mqtt_port" mute 100 115 "$writes" > "$work/flood.txt"
sleep 3
kill "$sampler"
grep -v '^flood ' "$work/flood.txt"
/usr/bin/python3 - "$work/flood.txt" "$work/rounds.txt" <<'PY'
import re, sys
began, ended = map(float, open(sys.argv[1]).readline().split()[1:3])
ends = {}
for line in open(sys.argv[2]):
    m = re.match(r'.*unit="([^"]+)"\} (\S+)', line)
    if m:
        ends.setdefault(m.group(1), set()).add(float(m.group(2)))
def worst(lo, hi):
    gap, who = 0.0, "-"
    for unit, times in ends.items():
        times = sorted(times)
        for a, b in zip(times, times[1:]):
            if lo <= b <= hi and b - a > gap:
                gap, who = b - a, unit
    return gap, who
first = min(min(t) for t in ends.values())
rounds = sum(1 for t in ends.values() for x in t if began <= x <= ended)
print("%d rounds of the other units during the flood's %.1f s" % (rounds, ended - began))
print("worst gap between the ends of a unit's rounds: %.3f s (%s) before the flood, %.3f s (%s) during it"
      % (worst(first, began) + worst(began, ended + 3)))
PY
