#!/usr/bin/env bash
# The poller at work against the simulated unit over loopback TCP: the
# plug-in loaded with dlopen, a few poll rounds, the status document printed
# readably, one write the unit confirms and one it refuses.
#
#   tools/demo.sh [BUILD_DIR]     (default: build)
#
# Starts and stops its own quillark-sim; exits 0 when everything went as
# expected, 1 otherwise.
set -uo pipefail

build=${1:-build}
poll=$build/tools/quillark-poll
sim=$build/tools/quillark-sim
for program in "$poll" "$sim"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program not found; build first (cmake -S . -B $build && cmake --build $build)" >&2
    exit 1
  fi
done

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

unexpected=0
step() { printf '\n== %s\n' "$*"; }
show() { sed 's/^/   | /' "$1"; }
expect_status() {  # what, wanted, got
  if [ "$3" -eq "$2" ]; then
    echo "   -> $1: exit status $3, as expected"
  else
    echo "   -> $1: exit status $3, expected $2" >&2
    unexpected=$((unexpected + 1))
  fi
}

step "Starting the simulated unit (quillark-sim) on a free loopback port"
"$sim" --tcp 127.0.0.1:0 --port-file "$work/port" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 200); do
  [ -s "$work/port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
if [ ! -s "$work/port" ]; then
  echo "demo: the simulated unit did not start" >&2
  show "$work/sim.err" >&2
  exit 1
fi
port=$(cat "$work/port")
show "$work/sim.out"
link=(--tcp "127.0.0.1:$port" --timeout 500)

step "Three poll rounds through quillark.so (loaded with dlopen), half a second apart"
echo "   stderr: the poller's progress and the plug-in's own diagnostic lines"
"$poll" "${link[@]}" --rounds 3 --interval 0.5 --pretty --record-out "$work/record" \
  >"$work/document" 2>"$work/poll.err"
status=$?
show "$work/poll.err"
echo "   stdout: the unit's status document (command 801) after each round, readably; the last:"
# Each indented document starts with a "{" of its own at the start of a line.
awk '/^\{/ { last = "" } { last = last $0 "\n" } END { printf "%s", last }' \
  "$work/document" >"$work/last-document"
show "$work/last-document"
expect_status "three rounds" 0 "$status"
record_size=$(wc -c <"$work/record" 2>/dev/null || echo 0)
echo "   -> data record of the last round: $record_size bytes"
[ "$record_size" -eq 187 ] || unexpected=$((unexpected + 1))

step "A write the unit confirms: 250 to holding register 100 (command 206)"
"$poll" "${link[@]}" --write 100=250 >/dev/null 2>"$work/write.err"
status=$?
grep 'write' "$work/write.err" | sed 's/^/   | /'
expect_status "confirmed write" 0 "$status"

step "A write the unit refuses: register 400 lies outside its writable range 1..300"
"$poll" "${link[@]}" --write 400=1 >/dev/null 2>"$work/refused.err"
status=$?
grep 'write' "$work/refused.err" | sed 's/^/   | /'
expect_status "refused write" 3 "$status"

step "Stopping the simulated unit"
kill "$sim_pid" && wait "$sim_pid"
show "$work/sim.err"
sim_pid=

echo
if [ "$unexpected" -eq 0 ]; then
  echo "demo: everything went as expected"
  exit 0
fi
echo "demo: $unexpected outcome(s) not as expected" >&2
exit 1
