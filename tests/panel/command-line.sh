#!/bin/sh
# What each program answers on its command line and without a display, before any window opens.
# Usage: command-line.sh VERSION PROGRAM...
set -u
version=$1
shift
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Runs the program with the given arguments; sets $status, and $out/stdout and $out/stderr.
run() {
  "$program" "$@" >"$out/stdout" 2>"$out/stderr"
  status=$?
}
lines() { wc -l <"$out/$1" | tr -d ' '; }

for program in "$@"; do
  name=$(basename "$program")
  run --version
  [ $status -eq 0 ] && [ "$(cat "$out/stdout")" = "$name $version" ] && [ ! -s "$out/stderr" ] ||
    fail "$name --version: status $status, '$(cat "$out/stdout")'"
  run --help
  [ $status -eq 0 ] && grep -q "^Usage: $name \[--help | --version\]" "$out/stdout" &&
    [ ! -s "$out/stderr" ] || fail "$name --help: status $status"
  for args in --bogus "--version --help" "-platform offscreen"; do
    # shellcheck disable=SC2086  # the words are separate arguments
    run $args
    [ $status -eq 2 ] && [ ! -s "$out/stdout" ] && [ "$(lines stderr)" = 1 ] &&
      grep -q "usage: $name \[--help | --version\]" "$out/stderr" ||
      fail "$name $args: status $status, '$(cat "$out/stderr")'"
  done
  # No display at all, and an X display that does not answer.
  for display in "" :99999; do
    (unset WAYLAND_DISPLAY WAYLAND_SOCKET QT_QPA_PLATFORM
     if [ -n "$display" ]; then export DISPLAY=$display; else unset DISPLAY; fi
     exec "$program") >"$out/stdout" 2>"$out/stderr"
    status=$?
    [ $status -eq 1 ] && [ ! -s "$out/stdout" ] && grep -q "^$name: .*display" "$out/stderr" ||
      fail "$name with DISPLAY='$display': status $status, '$(cat "$out/stderr")'"
    [ -n "$display" ] || [ "$(lines stderr)" = 1 ] || fail "$name without a display: not one line"
  done
done
exit $failed
