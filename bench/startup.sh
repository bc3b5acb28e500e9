#!/usr/bin/env bash
# Start-up time and peak memory of kelvorn-panel against a bare Qt Widgets window of the same size,
# empty and with one line of text (the first text a window draws loads fontconfig and FreeType),
# each started in turn under a private Xvfb display. Start-up is the time from exec until the
# window is mapped and viewable; peak memory is VmHWM once it is. Prints medians and ratios.
# Usage: bench/startup.sh [runs]   (build first: ./test.sh, or scripts/bench.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
panel=build-test/panel/kelvorn-panel
bare=build-test/bench/bare_window
[ -x "$panel" ] && [ -x "$bare" ] || { echo "build first: ./test.sh, or scripts/bench.sh" >&2; exit 1; }

source bench/private-display.sh

# Prints "<milliseconds> <peak KiB>" for one start of program $1 (argument $3) whose window is
# titled $2.
measure() {
  local start end pid kib
  start=$(date +%s%N)
  "$1" ${3:+"$3"} >/dev/null 2>"$out/stderr" &
  pid=$!
  until xwininfo -name "$2" 2>/dev/null | grep -q IsViewable; do
    kill -0 $pid 2>/dev/null || { echo "$1 exited before its window showed:" >&2; cat "$out/stderr" >&2; return 1; }
    (( $(date +%s%N) - start < 20000000000 )) || { kill $pid; echo "$1: no window in 20 s" >&2; return 1; }
    sleep 0.005
  done
  end=$(date +%s%N)
  sleep 0.3
  kib=$(awk '/VmHWM/ {print $2}' /proc/$pid/status)
  kill $pid; wait $pid 2>/dev/null || true
  echo "$(( (end - start) / 1000000 )) $kib"
}

median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

for i in $(seq "$runs"); do
  measure "$bare" bare-window >>"$out/bare"
  measure "$bare" bare-caption caption >>"$out/caption"
  measure "$panel" "  Kelvorn" >>"$out/panel"
done
echo "runs: $runs each, in turn; $(nproc) cores, $(uname -m); medians"
for what in bare caption panel; do
  t=$(cut -d' ' -f1 "$out/$what" | median); m=$(cut -d' ' -f2 "$out/$what" | median)
  eval "${what}_t=$t ${what}_m=$m"
  printf '%-8s start-up %5s ms   peak memory %6s KiB\n' "$what" "$t" "$m"
done
awk -v pt="$panel_t" -v pm="$panel_m" -v bt="$bare_t" -v bm="$bare_m" -v ct="$caption_t" -v cm="$caption_m" 'BEGIN {
  printf "panel / empty window:   start-up %.2f, peak memory %.2f\n", pt / bt, pm / bm
  printf "panel / window w/ text: start-up %.2f, peak memory %.2f\n", pt / ct, pm / cm }'
