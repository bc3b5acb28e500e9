# Sourced by the bench scripts that measure a polling window (after private-display.sh, with
# $prog, $seconds and $settle set): measure MODE TITLE [ARG] prints the percentage of one core
# that `$prog MODE [ARG]`, whose window is titled TITLE, used over $seconds after a $settle s
# pause, all its threads (/proc/<pid>/task/*/schedstat, nanoseconds).

# CPU nanoseconds of every thread of process $1 so far.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f\n", s}'; }

measure() {
  local pid start t0 t1 c0 c1
  "$prog" "$1" ${3:+"$3"} >/dev/null 2>"$out/stderr" &
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
