#!/bin/sh
# Traces that cannot be written to the end, cut by a file size limit as by a full disk (the program
# itself ignores SIGXFSZ): status 4 and one line that says so, the rest of the output as ever;
# and a reader of `watch --vcd` that goes away, which ends the watch with status 0.
# Usage: vcd-full.sh KELVORN_IO
set -u
io=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
failed=0
# check WHAT WANTED ACTUAL
check() {
  [ "$2" = "$3" ] || { printf '%s: wanted\n%s\ngot\n%s\n' "$1" "$2" "$3"; failed=1; }
}

status=0
printf 'out 0 on\nwait 1ms\nread\n' | prlimit --fsize=400 "$io" --sim run --vcd t.vcd >out 2>err ||
  status=$?
check "run: status" 4 "$status"
check "run: stdout" "in0=low in1=high in2=high in3=high in4=high
expectations: 0 met, 0 failed" "$(cat out)"
check "run: stderr" "kelvorn-io: the trace t.vcd could not be written to the end" "$(cat err)"
check "run: the trace, cut at the limit" 400 "$(wc -c <t.vcd | tr -d ' ')"

# Room for all of the trace but its last byte, of the end's timestamp (six digits in both runs).
printf 'wait 200ms\n' | "$io" --sim run --vcd whole.vcd >/dev/null 2>&1
status=0
printf 'wait 200ms\n' | prlimit --fsize=$(($(wc -c <whole.vcd) - 1)) "$io" --sim run --vcd t2.vcd \
  >/dev/null 2>err || status=$?
check "run, no room for the last line: status, stderr" \
  "4 kelvorn-io: the trace t2.vcd could not be written to the end" "$status $(cat err)"

status=0
prlimit --fsize=100 "$io" --sim watch --vcd --duration 0.05 >w.vcd 2>err || status=$?
check "watch into a file: status" 4 "$status"
check "watch into a file: stderr" \
  "kelvorn-io: the trace on standard output could not be written to the end" "$(cat err)"

# The reader takes the first bytes and goes; the watch's last timestamp then finds no reader.
{ "$io" --sim watch --vcd --duration 0.3 2>err; echo $? >status; } | head -c 10 >/dev/null
check "watch to a reader that went away: status" 0 "$(cat status)"
check "watch to a reader that went away: stderr" "" "$(cat err)"

[ $failed -eq 0 ] && echo "traces cut short: status 4 and a line; a reader gone: status 0"
exit $failed
