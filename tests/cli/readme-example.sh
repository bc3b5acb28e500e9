#!/bin/sh
# The wiring test in docs/kelvorn-io.md, run as printed there on the program built here: its
# script, its output and its exit status. Usage: readme-example.sh PAGE KELVORN_IO [WHERE...]
# where WHERE, in place of the example's --sim, names another board the same wiring has (a
# simulated board behind a bridge: --mqtt URL).
set -eu
readme=$1 io=$2
shift 2
[ $# -gt 0 ] || set -- --sim
# From the command line to the status printed after "$ echo $?", without the indent.
block=$(awk '/^    \$ kelvorn-io --sim run <<.EOF.$/ {on = 1} on {print substr($0, 5)}
             on && echoed {exit} /^    \$ echo \$\?$/ {echoed = 1}' "$readme")
script=$(printf '%s\n' "$block" | sed -n '2,/^EOF$/p' | sed '$d')
expected=$(printf '%s\n' "$block" | sed '1,/^EOF$/d' | grep -v '^\$ echo')
[ -n "$script" ] && [ -n "$expected" ] || { echo "no example found in $readme" >&2; exit 1; }
status=0
actual=$(printf '%s\n' "$script" | "$io" "$@" run) || status=$?
actual=$(printf '%s\n%s\n' "$actual" "$status")
if [ "$actual" != "$expected" ]; then
  echo "the example in $readme differs:" >&2
  printf '%s\n' "$expected" >"${TMPDIR:-/tmp}/readme-expected.$$"
  printf '%s\n' "$actual" | diff "${TMPDIR:-/tmp}/readme-expected.$$" - >&2 || true
  rm -f "${TMPDIR:-/tmp}/readme-expected.$$"
  exit 1
fi
echo "the example in $readme: as printed"
