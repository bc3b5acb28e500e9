#!/bin/sh
# What each program answers on its command line and without a display, before any window opens.
# Usage: command-line.sh VERSION PROGRAM...
set -u
version=$1
shift
out=$(mktemp -d)
xvfb=
trap '[ -z "$xvfb" ] || kill "$xvfb"; rm -rf "$out"' EXIT
mkdir -m 700 "$out/run"
# As in a desktop session, where Qt has nothing to warn about; offscreen unless a case says not.
export XDG_RUNTIME_DIR="$out/run" QT_QPA_PLATFORM=offscreen
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# A display that answers, for the rows that open the window on X11.
Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>"$out/display" 2>/dev/null &
xvfb=$!
tries=0
until [ -s "$out/display" ]; do
  tries=$((tries + 1))
  [ $tries -le 100 ] || { echo "FAIL: Xvfb gave no display in 10 s"; exit 1; }
  sleep 0.1
done
live=:$(cat "$out/display")

# Runs the program with the given arguments; sets $status, and $out/stdout and $out/stderr.
run() {
  "$program" "$@" >"$out/stdout" 2>"$out/stderr"
  status=$?
}
lines() { wc -l <"$out/$1" | tr -d ' '; }
# Runs it with the given QT_QPA_PLATFORM ("-" for none) and DISPLAY ("" for none), the variables
# NAME=VALUE that come next, and the arguments after them.
run_on() {
  platform=$1 display=$2
  shift 2
  (unset WAYLAND_DISPLAY WAYLAND_SOCKET QT_QPA_PLATFORM DISPLAY
   [ "$platform" = - ] || export QT_QPA_PLATFORM="$platform"
   [ -z "$display" ] || export DISPLAY="$display"
   while [ $# -gt 0 ]; do case $1 in *=*) export "${1?}"; shift ;; *) break ;; esac; done
   exec timeout 1 "$program" "$@") >"$out/stdout" 2>"$out/stderr"
  status=$?
}

for program in "$@"; do
  name=$(basename "$program")
  # Qt's own options are taken by Qt; --version wins over --help, as in every Qt program.
  for args in --version "--version --help" \
      "-style fusion -platform offscreen -reverse -qwindowgeometry 400x200+10+10 --version"; do
    # shellcheck disable=SC2086  # the words are separate arguments
    run $args
    [ $status -eq 0 ] && [ "$(cat "$out/stdout")" = "$name $version" ] && [ ! -s "$out/stderr" ] ||
      fail "$name $args: status $status, '$(cat "$out/stdout")' '$(cat "$out/stderr")'"
  done
  run --help
  cp "$out/stdout" "$out/help"
  [ $status -eq 0 ] && grep -q "^Usage: .*$name \[options\]" "$out/help" &&
    grep -q -- "--version" "$out/help" && [ ! -s "$out/stderr" ] || fail "$name --help: status $status"
  run -h
  [ $status -eq 0 ] && cmp -s "$out/stdout" "$out/help" || fail "$name -h differs from --help"
  run --help-all
  cp "$out/stdout" "$out/help-all"
  [ $status -eq 0 ] && grep -q -- "-platform" "$out/help-all" && [ ! -s "$out/stderr" ] ||
    fail "$name --help-all: status $status, without Qt's options"
  for refused in --bogus -bogus stray; do
    run -reverse $refused
    [ $status -eq 2 ] && [ ! -s "$out/stdout" ] && [ "$(lines stderr)" = 1 ] &&
      grep -q "^$name: .*'${refused#"${refused%%[!-]*}"}'" "$out/stderr" ||
      fail "$name $refused: status $status, '$(cat "$out/stderr")'"
  done

  # --mqtt and its companions: kelvorn-panel takes them, the simulated boards' program refuses
  # them; a URL that cannot be used (2) is said in one line before any window opens, a broker out
  # of reach in the window, which opens as without a board (124: runs until stopped). Each row:
  # the program it is for ("both" for both), the status, the line's start after the name (none:
  # nothing on standard error), then the arguments.
  while IFS='|' read -r for want said args; do
    [ "$for" = both ] || [ "$for" = "$name" ] || continue
    # shellcheck disable=SC2086  # the words are separate arguments
    run_on offscreen "" $args
    [ $status -eq "$want" ] && [ ! -s "$out/stdout" ] &&
      if [ -z "$said" ]; then [ ! -s "$out/stderr" ]
      else [ "$(lines stderr)" = 1 ] && grep -qF "$name: $said" "$out/stderr"; fi ||
      fail "$name $args: status $status, '$(cat "$out/stderr")'"
  done <<EOF
both|2|--password-file and --cafile go with --mqtt|--cafile ca.pem
kelvorn-panel-sim|2|--mqtt is for kelvorn-panel|--mqtt mqtt://broker
kelvorn-panel|2|--mqtt: a password does not go in the URL|--mqtt mqtt://u:p@broker
kelvorn-panel|2|--mqtt ftp://broker: not mqtt://|--mqtt ftp://broker
kelvorn-panel|2|--mqtt mqtt://broker:0: the port is a number|--mqtt mqtt://broker:0
kelvorn-panel|124||--mqtt mqtt://127.0.0.1:1
kelvorn-panel|124||--mqtt mqtts://127.0.0.1:1
kelvorn-panel|2|cannot read the password file /nonexistent: No such file or directory|--mqtt mqtt://u@broker --password-file /nonexistent
EOF

  # No display for the platform Qt would use (none), or one named that does not answer (dead):
  # one line of the program's own, status 1. -platform counts over QT_QPA_PLATFORM and -display
  # over DISPLAY, as they do for Qt, the last of each and with one dash or two; --help,
  # --help-all and --version answer before any display is opened, with nothing on standard error
  # about the display they did not need. Each row: what the program
  # must do, then QT_QPA_PLATFORM and DISPLAY ("-" for unset), variables and the arguments.
  while read -r want platform display args; do
    [ "$display" = - ] && display=""
    # shellcheck disable=SC2086  # the words are separate arguments
    run_on "$platform" "$display" $args
    case $want in
      none) [ $status -eq 1 ] && [ ! -s "$out/stdout" ] && [ "$(lines stderr)" = 1 ] &&
        grep -q "^$name: no display to open the window on" "$out/stderr" ;;
      dead) [ $status -eq 1 ] && [ ! -s "$out/stdout" ] && [ "$(lines stderr)" = 1 ] &&
        grep -q "^$name: cannot open the window: .*display .*99 does not answer$" "$out/stderr" ;;
      window) [ $status -eq 124 ] ;;  # opens the window and runs until stopped
      version) [ $status -eq 0 ] && [ "$(cat "$out/stdout")" = "$name $version" ] && [ ! -s "$out/stderr" ] ;;
      help) [ $status -eq 0 ] && cmp -s "$out/stdout" "$out/help" && [ ! -s "$out/stderr" ] ;;
      help-all) [ $status -eq 0 ] && cmp -s "$out/stdout" "$out/help-all" && [ ! -s "$out/stderr" ] ;;
    esac || fail "$name $want: QT_QPA_PLATFORM=$platform DISPLAY=$display $args: status $status, '$(cat "$out/stderr")'"
  done <<EOF
none - -
none xcb:foo -
none offscreen - -platform xcb
none wayland -
none - - --platform offscreen -platform xcb
dead - :99999
dead - - -display :99999
dead - $live --display :99999
dead wayland - WAYLAND_DISPLAY=wayland-99
dead wayland;xcb :99999
dead - - WAYLAND_DISPLAY=$out/run/wayland-99
window - $live
window xcb:foo $live -platform xcb
window - :99999 -display $live
window wayland;xcb $live WAYLAND_DISPLAY=wayland-99
window - - -platform offscreen
window - - -platform xcb --platform offscreen
version - - --version
version - :99999 --version
version - - -display :99999 -v
help - - --help
help - :99999 -h
help-all - :99999 --help-all
help-all - - -display :99999 --help-all
help-all xcb - --help-all
help-all wayland - WAYLAND_DISPLAY=wayland-99 --help-all
EOF
done
exit $failed
