#!/usr/bin/env bash
# What MQTT costs at hall scale: 200 units on 4 Modbus TCP links (4
# simulators x 50 unit ids), interval 1 s, publishing to a mosquitto broker of
# its own. Counts the bytes and messages the broker received from the agent
# over SECONDS, after the first rounds (every unit's first status) are past,
# and prints them per unit and hour (extrapolated from the window).
#   bench/agent_mqtt_bytes.sh [BUILD_DIR] [SECONDS] [STATUS] [SIM_VALUES] [EXTRA_MQTT]
# STATUS: on-change (default) or every-round; SIM_VALUES: steady (default)
# or drift; EXTRA_MQTT: more [mqtt] lines, e.g. 'points = true'.
set -euo pipefail
build=${1:-build}
seconds=${2:-60}
status=${3:-on-change}
values=${4:-steady}
extra=${5:-}
tools=$build/tools
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

steady=()
[ "$values" = steady ] && steady=(--steady)
ports=()
for s in 1 2 3 4; do
  "$tools/quillark-sim" --tcp 127.0.0.1:0 --units 1-50 "${steady[@]}" --port-file "$work/sim$s.port" >/dev/null 2>&1 &
  pids+=($!)
done
for s in 1 2 3 4; do
  while [ ! -s "$work/sim$s.port" ]; do sleep 0.1; done
  ports+=("$(cat "$work/sim$s.port")")
done

mqtt_port=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\nsys_interval 1\n' "$mqtt_port" > "$work/mosquitto.conf"
/usr/sbin/mosquitto -c "$work/mosquitto.conf" >/dev/null 2>&1 &
pids+=($!)
sleep 1
{
  printf '[http]\nlisten = "127.0.0.1:%s"\n' "$(free_port)"
  printf '[mqtt]\nbroker = "mqtt://127.0.0.1:%s"\nstatus = "%s"\n%s\n' "$mqtt_port" "$status" "$extra"
  for s in 1 2 3 4; do
    printf '[[link]]\nname = "gw%d"\ntcp = "127.0.0.1:%s"\n' "$s" "${ports[$((s - 1))]}"
  done
  for s in 1 2 3 4; do
    for u in $(seq 1 50); do
      printf '[[unit]]\nname = "gw%d-ac%02d"\nlink = "gw%d"\nunit_id = %d\ninterval = 1\n' "$s" "$u" "$s" "$u"
    done
  done
} > "$work/agent.toml"

sys() {  # one of the broker's own counters
  mosquitto_sub -p "$mqtt_port" -t "\$SYS/broker/$1" -C 1 -W 5
}
"$tools/quillark-agent" --config "$work/agent.toml" >/dev/null 2>"$work/agent.err" &
pids+=($!)
sleep 10  # every unit polled and its first status and points sent
b0=$(sys bytes/received); m0=$(sys messages/received)
sleep "$seconds"
b1=$(sys bytes/received); m1=$(sys messages/received)
awk -v b="$((b1 - b0))" -v m="$((m1 - m0))" -v s="$seconds" -v st="$status" -v v="$values" -v x="${extra//$'\n'/; }" 'BEGIN {
  printf "%s, %s simulator%s: %d bytes, %d messages in %d s\n", st, v, (x == "" ? "" : ", " x), b, m, s
  printf "per unit and hour: %.0f kB, %.0f messages; all 200 units: %.1f kB/s\n",
         b / 200 * 3600 / s / 1000, m / 200 * 3600 / s, b / s / 1000
}'
