#!/usr/bin/env bash
# The agent at scale: 200 units on 4 Modbus TCP links (4 simulators x 50 unit
# ids), interval 1 s. The agent and a bare libmodbus client doing the same 46
# reads run side by side against the same simulators; then as many
# `quillark-poll --rounds 0` processes, one per unit. Prints CPU per unit
# round (user and system), memory, the share of complete rounds and the
# machine's load average. The pollers' phase saturates a small machine, so it
# may be given a shorter time of its own.
# With SCALE_MQTT=1 the agent also publishes to a mosquitto broker of its own,
# with a subscriber on everything it publishes, and the broker's CPU is shown
# too. SCALE_STATUS picks how often a status goes out: every-round (the
# default here, as the first figures were measured) or on-change.
#   bench/agent_scale.sh [BUILD_DIR] [SECONDS] [POLLERS] [POLLER_SECONDS]
set -euo pipefail
build=${1:-build}
seconds=${2:-120}
pollers=${3:-200}
poll_seconds=${4:-$seconds}
tools=$build/tools
tick=$(getconf CLK_TCK)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ports=()
for s in 1 2 3 4; do
  "$tools/quillark-sim" --tcp 127.0.0.1:0 --units 1-50 ${SCALE_STEADY:+--steady} --port-file "$work/sim$s.port" >/dev/null 2>&1 &
  pids+=($!)
done
for s in 1 2 3 4; do
  while [ ! -s "$work/sim$s.port" ]; do sleep 0.1; done
  ports+=("$(cat "$work/sim$s.port")")
done

http=$(free_port)
broker=
if [ "${SCALE_MQTT:-0}" = 1 ]; then
  mqtt_port=$(free_port)
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$mqtt_port" > "$work/mosquitto.conf"
  /usr/sbin/mosquitto -c "$work/mosquitto.conf" >/dev/null 2>&1 &
  broker=$!
  pids+=("$broker")
  sleep 1
  mosquitto_sub -h 127.0.0.1 -p "$mqtt_port" -t 'quillark/#' >/dev/null 2>&1 &
  pids+=($!)
fi
{
  echo "[http]"
  echo "listen = \"127.0.0.1:$http\""
  [ -z "$broker" ] || printf '[mqtt]\nbroker = "mqtt://127.0.0.1:%s"\nstatus = "%s"\n' \
    "$mqtt_port" "${SCALE_STATUS:-every-round}"
  for s in 1 2 3 4; do
    printf '[[link]]\nname = "gw%d"\ntcp = "127.0.0.1:%s"\ntimeout_ms = 1000\nretries = 1\n' "$s" "${ports[$((s - 1))]}"
  done
  for s in 1 2 3 4; do
    for u in $(seq 1 50); do
      printf '[[unit]]\nname = "gw%d-ac%02d"\nlink = "gw%d"\nunit_id = %d\ninterval = 1\n' "$s" "$u" "$s" "$u"
    done
  done
} > "$work/agent.toml"

rounds() {  # complete and failed rounds so far, from the agent's metrics
  curl -s "http://127.0.0.1:$http/metrics" |
    awk '/^quillark_rounds_total/ { if ($1 ~ /complete/) c += $2; else f += $2 } END { print c + 0, f + 0 }'
}

"$tools/quillark-agent" --config "$work/agent.toml" >/dev/null 2>"$work/agent.err" &
agent=$!
pids+=("$agent")
sleep 5  # all links open, every unit polled
read -r c0 f0 < <(rounds)
t0=$(cpu_ticks "$agent"); tu0=$(user_ticks "$agent"); load0=$(load)
[ -z "$broker" ] || b0=$(cpu_ticks "$broker")
bare_links=()
for p in "${ports[@]}"; do bare_links+=("$p:1-50"); done
"$build/bench/quillark_bare_client" "$seconds" 1 "${bare_links[@]}" > "$work/bare.out" &
bare=$!
max_rss=0
for _ in $(seq 1 "$seconds"); do
  sleep 1
  r=$(rss_kb "$agent"); [ "$r" -gt "$max_rss" ] && max_rss=$r
done
wait "$bare"
t1=$(cpu_ticks "$agent"); tu1=$(user_ticks "$agent"); load1=$(load)
[ -z "$broker" ] || b1=$(cpu_ticks "$broker")
read -r c1 f1 < <(rounds)
kill "$agent"; wait "$agent" || true

agent_rounds=$((c1 - c0)); agent_failed=$((f1 - f0))
agent_cpu=$(echo "scale=6; ($t1 - $t0) / $tick" | bc)
agent_user=$(echo "scale=6; ($tu1 - $tu0) / $tick" | bc)
read -r _ bare_rounds _ bare_failed _ bare_user _ bare_sys _ bare_rss < "$work/bare.out"
bare_cpu=$(echo "scale=6; $bare_user + $bare_sys" | bc)
echo "run of $seconds s, 200 units on 4 links, interval 1 s; load average $load0 at the start, $load1 at the end"
agent_ms=$(echo "scale=6; 1000 * $agent_cpu / $agent_rounds" | bc)
bare_ms=$(echo "scale=6; 1000 * $bare_cpu / $bare_rounds" | bc)
printf 'agent:       %d rounds (%d failed, %.3f %% complete), CPU %.2f s (user %.2f) = %.3f ms per unit round, RSS max %d kB\n' \
  "$agent_rounds" "$agent_failed" "$(echo "scale=6; 100 * $agent_rounds / ($agent_rounds + $agent_failed)" | bc)" \
  "$agent_cpu" "$agent_user" "$agent_ms" "$max_rss"
printf 'bare client: %d rounds (%d failed), CPU %.2f s (user %.2f) = %.3f ms per unit round, RSS max %d kB\n' \
  "$bare_rounds" "$bare_failed" "$bare_cpu" "$bare_user" "$bare_ms" "$bare_rss"
printf 'ratio:       agent / bare client = %.2f\n' "$(echo "scale=6; $agent_ms / $bare_ms" | bc)"
if [ -n "$broker" ]; then
  broker_ms=$(echo "scale=6; 1000 * ($b1 - $b0) / $tick / $agent_rounds" | bc)
  printf 'broker:      CPU %.2f s = %.3f ms per agent round\n' "$(echo "scale=6; ($b1 - $b0) / $tick" | bc)" "$broker_ms"
  printf 'ratio:       (agent + broker) / bare client = %.2f\n' "$(echo "scale=6; ($agent_ms + $broker_ms) / $bare_ms" | bc)"
fi

# The same units, one poller process each.
[ "$pollers" -gt 0 ] || exit 0
poll_pids=()
for i in $(seq 0 $((pollers - 1))); do
  port=${ports[$((i % 4))]}
  "$tools/quillark-poll" --tcp "127.0.0.1:$port" --unit $((i / 4 % 50 + 1)) --rounds 0 --interval 1 \
    > "$work/poll$i.out" 2>/dev/null &
  poll_pids+=($!)
  pids+=($!)
done
sleep 5
p0=0; for pid in "${poll_pids[@]}"; do p0=$((p0 + $(cpu_ticks "$pid"))); done
l0=$(cat "$work"/poll*.out | wc -l)
load0=$(load)
sleep "$poll_seconds"
load1=$(load)
p1=0; rss=0
for pid in "${poll_pids[@]}"; do p1=$((p1 + $(cpu_ticks "$pid"))); rss=$((rss + $(rss_kb "$pid"))); done
l1=$(cat "$work"/poll*.out | wc -l)
poll_cpu=$(echo "scale=6; ($p1 - $p0) / $tick" | bc)
printf 'pollers:     %d processes, %d s, %d rounds, CPU %.2f s = %.3f ms per unit round, RSS %d kB in total (%d kB each); load average %s at the start, %s at the end\n' \
  "$pollers" "$poll_seconds" "$((l1 - l0))" "$poll_cpu" "$(echo "scale=6; 1000 * $poll_cpu / ($l1 - $l0)" | bc)" "$rss" "$((rss / pollers))" "$load0" "$load1"
