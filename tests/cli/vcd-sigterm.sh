#!/bin/sh
# `kelvorn-io --sim watch --vcd` cut short by SIGTERM: status 0, and a trace that sigrok-cli
# (PulseView's reader) reads whole, the inputs dumped at #0 and a last timestamp after it.
# Usage: vcd-sigterm.sh KELVORN_IO SIGROK_CLI
set -eu
io=$1 sigrok=$2
dir=$(mktemp -d)
pid=
# timeout kills the program after 30 s at the latest, also if this script is killed first. It
# passes SIGTERM on to the program; --foreground keeps it from sending a second one to its process
# group, which could come after the program has put the default action back on its way out.
trap '[ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
timeout --foreground -s KILL 30 "$io" --sim watch --vcd >"$dir/watch.vcd" &
pid=$!
# The dump at #0 ends with a line "$end".
tries=0
until grep -qx '\$end' "$dir/watch.vcd" 2>/dev/null; do
  tries=$((tries + 1))
  [ "$tries" -le 200 ] || { echo "no dump at #0 after 10 s" >&2; exit 1; }
  sleep 0.05
done
sleep 0.1
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || { echo "watch --vcd exited with $status after SIGTERM" >&2; exit 1; }
# sigrok-cli prints the trace again as VCD: its timestamps and changes after $enddefinitions.
read_back=$(timeout 30 "$sigrok" -I vcd -i "$dir/watch.vcd" -O vcd 2>&1 |
  sed '1,/^\$enddefinitions/d')
case $read_back in
  '#0 1! 1" 1# 1$ 1%
#'[1-9]*) ;;
  *) printf 'sigrok-cli read:\n%s\nfrom:\n' "$read_back" >&2; cat "$dir/watch.vcd" >&2; exit 1 ;;
esac
case $(tail -n 1 "$dir/watch.vcd") in
  '#'[1-9]*) echo "watch --vcd ended by SIGTERM: read back as $(echo "$read_back" | tr '\n' ' ')" ;;
  *) echo "the trace does not end with a timestamp" >&2; exit 1 ;;
esac
