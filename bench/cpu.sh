#!/usr/bin/env bash
# CPU share of the polling panel: the panel on a simulated board with the test pattern running,
# against a bare window of the same size whose 100 ms timer does nothing. Each runs alone under a
# private Xvfb display; after a settling pause its CPU time (all threads, from
# /proc/<pid>/task/*/schedstat, nanoseconds) is taken over the measuring window. Prints the share
# of one core of each and the difference.
# Usage: bench/cpu.sh [seconds]   (default 60; build first: ./test.sh, or scripts/bench.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
settle=3
prog=build-test/bench/poll_window
[ -x "$prog" ] || { echo "build first: ./test.sh or scripts/bench.sh" >&2; exit 1; }

source bench/private-display.sh

# CPU nanoseconds of every thread of process $1 so far.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f\n", s}'; }

# Prints the percentage of one core that poll_window $1 (window title $2) used over the window.
measure() {
  local pid start t0 t1 c0 c1
  "$prog" "$1" >/dev/null 2>"$out/stderr" &
  pid=$!
  start=$(date +%s)
  until xwininfo -name "$2" 2>/dev/null | grep -q IsViewable; do
    kill -0 $pid 2>/dev/null || { echo "poll_window $1 exited:" >&2; cat "$out/stderr" >&2; return 1; }
    (( $(date +%s) - start < 20 )) || { kill $pid; echo "poll_window $1: no window in 20 s" >&2; return 1; }
    sleep 0.05
  done
  sleep "$settle"
  t0=$(date +%s%N); c0=$(cpu_ns $pid)
  sleep "$seconds"
  t1=$(date +%s%N); c1=$(cpu_ns $pid)
  kill $pid; wait $pid 2>/dev/null || true
  awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" 'BEGIN {printf "%.3f\n", 100 * c / t}'
}

bare=$(measure bare bare-poll)
panel=$(measure panel "  Kelvorn")
echo "$seconds s each, one after the other; $(nproc) cores, $(uname -m); % of one core"
printf 'bare window, 100 ms timer doing nothing   %6s %%\n' "$bare"
printf 'panel polling, test pattern running       %6s %%\n' "$panel"
awk -v p="$panel" -v b="$bare" 'BEGIN {printf "panel above the bare window               %6.3f %%\n", p - b}'
