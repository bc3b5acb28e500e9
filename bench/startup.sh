#!/usr/bin/env bash
# Start-up time and peak memory of kelvorn-panel against a bare Qt Widgets window of the same size,
# each started in turn under a private Xvfb display. Start-up is the time from exec until the
# window is mapped and viewable; peak memory is VmHWM once it is. Prints medians and ratios.
# Usage: bench/startup.sh [runs]   (build first: cmake --build build)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
panel=build/panel/kelvorn-panel
bare=build/bench/bare_window
for tool in Xvfb xwininfo; do command -v $tool >/dev/null || { echo "needs $tool (xvfb, x11-utils)" >&2; exit 1; }; done
[ -x "$panel" ] && [ -x "$bare" ] || { echo "build first: cmake --build build" >&2; exit 1; }

display=:$((100 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null' EXIT
export DISPLAY=$display
unset QT_QPA_PLATFORM
for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done

# Prints "<milliseconds> <peak KiB>" for one start of program $1 whose window is titled $2.
measure() {
  local start end pid kib
  start=$(date +%s%N)
  "$1" >/dev/null 2>&1 &
  pid=$!
  until xwininfo -name "$2" 2>/dev/null | grep -q IsViewable; do sleep 0.002; done
  end=$(date +%s%N)
  sleep 0.3
  kib=$(awk '/VmHWM/ {print $2}' /proc/$pid/status)
  kill $pid; wait $pid 2>/dev/null || true
  echo "$(( (end - start) / 1000000 )) $kib"
}

median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

: >/tmp/startup.panel; : >/tmp/startup.bare
for i in $(seq "$runs"); do
  measure "$bare" bare-window >>/tmp/startup.bare
  measure "$panel" "  Kelvorn" >>/tmp/startup.panel
done
pt=$(cut -d' ' -f1 /tmp/startup.panel | median); pm=$(cut -d' ' -f2 /tmp/startup.panel | median)
bt=$(cut -d' ' -f1 /tmp/startup.bare | median);  bm=$(cut -d' ' -f2 /tmp/startup.bare | median)
echo "runs: $runs each, alternating; $(nproc) cores, $(uname -m)"
echo "bare Qt window:  start-up ${bt} ms, peak memory ${bm} KiB (medians)"
echo "kelvorn-panel:   start-up ${pt} ms, peak memory ${pm} KiB (medians)"
awk -v a="$pt" -v b="$bt" -v c="$pm" -v d="$bm" 'BEGIN {printf "ratios: start-up %.2f, peak memory %.2f\n", a / b, c / d}'
