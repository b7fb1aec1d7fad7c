#!/usr/bin/env bash
# How many poll rounds complete when the unit loses answers at random.
#
#   tests/faults/retry_figure.sh [BUILD_DIR] [ROUNDS] [DROP_RATE] [-- POLLER OPTIONS...]
#
# Starts quillark-sim on a free loopback port, losing each answer with
# probability DROP_RATE (default 0.01, seed 1), runs quillark-poll for ROUNDS
# rounds (default 1000) back to back against it and prints how many
# completed. Extra options after -- go to the poller (--retries 0, say).
# Stops the simulator it started, by its pid.
set -euo pipefail

build=${1:-build}
rounds=${2:-1000}
rate=${3:-0.01}
shift $(( $# < 3 ? $# : 3 ))
[ "${1:-}" = "--" ] && shift
poll=$build/tools/quillark-poll
sim=$build/tools/quillark-sim

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$sim" --tcp 127.0.0.1:0 --port-file "$work/port" --steady --drop-rate "$rate" --seed 1 \
  >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || { echo "the simulator did not start" >&2; cat "$work/sim.err" >&2; exit 1; }

start=$(date +%s.%N)
set +e
"$poll" --tcp "127.0.0.1:$(cat "$work/port")" --rounds "$rounds" --interval 0 --timeout 50 \
  --quiet "$@" >"$work/documents" 2>"$work/poll.err"
status=$?
set -e
end=$(date +%s.%N)
complete=$(wc -l <"$work/documents")
awk -v c="$complete" -v n="$rounds" -v r="$rate" -v s="$status" -v t="$(echo "$end - $start" | bc)" \
  -v opts="$*" 'BEGIN { printf "drop rate %s, poller options [%s]: %d of %d rounds complete (%.1f %%), exit status %d, %.1f s\n", r, opts, c, n, 100 * c / n, s, t }'
tail -n 1 "$work/poll.err"
