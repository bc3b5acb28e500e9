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
source bench/measure-window.sh

bare=$(measure bare bare-poll)
panel=$(measure panel "  Kelvorn")
echo "$seconds s each, one after the other; $(nproc) cores, $(uname -m); % of one core"
printf 'bare window, 100 ms timer doing nothing   %6s %%\n' "$bare"
printf 'panel polling, test pattern running       %6s %%\n' "$panel"
awk -v p="$panel" -v b="$bare" 'BEGIN {printf "panel above the bare window               %6.3f %%\n", p - b}'
