#!/bin/bash
# How long a request through the agent's Modbus TCP gateway waits on a busy
# link: the agent polls 50 units (one simulator answering unit ids 1-50) at
# INTERVAL seconds each, and a pymodbus client reads 3 input registers of
# unit 1 through the gateway REQUESTS times, one after the other. Prints the
# median and 99th percentile of the answer time, the same read straight to
# the simulator for comparison, the link's load, and the units' mean round
# time without and with a second client flooding the gateway.
# Usage: bench/agent_gateway.sh [BUILD_DIR] [REQUESTS] [INTERVAL] (needs python3-pymodbus)
set -euo pipefail
build=${1:-build}
requests=${2:-2000}
interval=${3:-0.5}
tools=$build/tools
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

"$tools/quillark-sim" --tcp 127.0.0.1:0 --units 1-50 --port-file "$work/sim.port" >/dev/null 2>&1 &
pids+=($!)
while [ ! -s "$work/sim.port" ]; do sleep 0.1; done
sim_port=$(cat "$work/sim.port")
http_port=$(free_port)
gateway_port=$(free_port)
{
  printf '[http]\nlisten = "127.0.0.1:%s"\n' "$http_port"
  printf '[[link]]\nname = "bus"\ntcp = "127.0.0.1:%s"\ngateway = "127.0.0.1:%s"\n' \
    "$sim_port" "$gateway_port"
  for u in $(seq 1 50); do
    printf '[[unit]]\nname = "ac%02d"\nlink = "bus"\nunit_id = %d\ninterval = %s\n' "$u" "$u" "$interval"
  done
} > "$work/agent.toml"
"$tools/quillark-agent" --config "$work/agent.toml" 2>"$work/agent.err" &
pids+=($!)
sleep 5

cat > "$work/reads.py" <<'PY'
import statistics, sys, time
from pymodbus.client import ModbusTcpClient
port, count = int(sys.argv[1]), int(sys.argv[2])
client = ModbusTcpClient("127.0.0.1", port=port, timeout=10, retries=0)
client.connect()
waits = []
for _ in range(count):
    began = time.perf_counter()
    answer = client.read_input_registers(21, 3, slave=1)
    waits.append((time.perf_counter() - began) * 1000)
    assert not answer.isError(), answer
waits.sort()
print("median %.2f ms, p99 %.2f ms, max %.2f ms (%d reads)" % (
    statistics.median(waits), waits[int(len(waits) * 0.99) - 1], waits[-1], len(waits)))
PY
mean_round() {  # the units' mean round time since the last call, in ms
  curl -s "http://127.0.0.1:$http_port/metrics" |
    awk '/^quillark_round_duration_seconds_sum/ {s += $2} /^quillark_round_duration_seconds_count/ {n += $2}
         END {print s, n}'
}
echo "straight to the simulator:     $(/usr/bin/python3 "$work/reads.py" "$sim_port" "$requests")"
echo "through the gateway, 50 units: $(/usr/bin/python3 "$work/reads.py" "$gateway_port" "$requests")"
curl -s "http://127.0.0.1:$http_port/metrics" | awk '/^quillark_link_load_ratio/ {print "link load " $2}'

read -r s0 n0 < <(mean_round); sleep 10; read -r s1 n1 < <(mean_round)
awk -v a="$s0" -v b="$s1" -v c="$n0" -v d="$n1" \
  'BEGIN {printf "mean round, gateway idle:     %.2f ms (%d rounds)\n", (b - a) / (d - c) * 1000, d - c}'
/usr/bin/python3 "$work/reads.py" "$gateway_port" 1000000 >/dev/null 2>&1 &
flood=$!
pids+=("$flood")
sleep 1
read -r s0 n0 < <(mean_round); sleep 10; read -r s1 n1 < <(mean_round)
awk -v a="$s0" -v b="$s1" -v c="$n0" -v d="$n1" \
  'BEGIN {printf "mean round, gateway flooded:  %.2f ms (%d rounds)\n", (b - a) / (d - c) * 1000, d - c}'
kill "$flood"
curl -s "http://127.0.0.1:$http_port/metrics" | grep '^quillark_gateway_requests_total' | grep -v ' 0$'
