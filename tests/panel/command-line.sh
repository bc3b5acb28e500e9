#!/bin/sh
# What each program answers on its command line and without a display, before any window opens.
# Usage: command-line.sh VERSION PROGRAM...
set -u
version=$1
shift
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
mkdir -m 700 "$out/run"
# As in a desktop session, where Qt has nothing to warn about; offscreen unless a case says not.
export XDG_RUNTIME_DIR="$out/run" QT_QPA_PLATFORM=offscreen
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Runs the program with the given arguments; sets $status, and $out/stdout and $out/stderr.
run() {
  "$program" "$@" >"$out/stdout" 2>"$out/stderr"
  status=$?
}
lines() { wc -l <"$out/$1" | tr -d ' '; }
# Runs it with the given QT_QPA_PLATFORM ("-" for none) and DISPLAY ("" for none) and arguments.
run_on() {
  platform=$1 display=$2
  shift 2
  (unset WAYLAND_DISPLAY WAYLAND_SOCKET QT_QPA_PLATFORM DISPLAY
   [ "$platform" = - ] || export QT_QPA_PLATFORM="$platform"
   [ -z "$display" ] || export DISPLAY="$display"
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
  for refused in --bogus -bogus stray; do
    run -reverse $refused
    [ $status -eq 2 ] && [ ! -s "$out/stdout" ] && [ "$(lines stderr)" = 1 ] &&
      grep -q "^$name: .*'${refused#"${refused%%[!-]*}"}'" "$out/stderr" ||
      fail "$name $refused: status $status, '$(cat "$out/stderr")'"
  done

  # --mqtt and its companions: kelvorn-panel takes them, the simulated boards' program refuses
  # them; a URL that cannot be used (2) or a broker that does not take us (3) is said in one line
  # before any window opens. Each row: the program it is for ("both" for both), the status, the
  # line's start after the name, then the arguments.
  while IFS='|' read -r for want said args; do
    [ "$for" = both ] || [ "$for" = "$name" ] || continue
    # shellcheck disable=SC2086  # the words are separate arguments
    run $args
    [ $status -eq "$want" ] && [ ! -s "$out/stdout" ] && [ "$(lines stderr)" = 1 ] &&
      grep -qF "$name: $said" "$out/stderr" ||
      fail "$name $args: status $status, '$(cat "$out/stderr")'"
  done <<EOF
both|2|--password-file and --cafile go with --mqtt|--cafile ca.pem
kelvorn-panel-sim|2|--mqtt is for kelvorn-panel|--mqtt mqtt://broker
kelvorn-panel|2|--mqtt: a password does not go in the URL|--mqtt mqtt://u:p@broker
kelvorn-panel|2|--mqtt ftp://broker: not mqtt://|--mqtt ftp://broker
kelvorn-panel|2|--mqtt mqtt://broker:0: the port is a number|--mqtt mqtt://broker:0
kelvorn-panel|3|connection refused by 127.0.0.1:1|--mqtt mqtt://127.0.0.1:1
EOF

  # No display for the platform Qt would use: one line, status 1. -platform counts over
  # QT_QPA_PLATFORM and -display over DISPLAY, as they do for Qt, the last of each and with one
  # dash or two; --help and --version answer before any display is opened. Each row: what the
  # program must do, then QT_QPA_PLATFORM and DISPLAY ("-" for unset) and the arguments.
  while read -r want platform display args; do
    [ "$display" = - ] && display=""
    # shellcheck disable=SC2086  # the words are separate arguments
    run_on "$platform" "$display" $args
    case $want in
      none) # named but not answering: Qt's own lines come first
        [ $status -eq 1 ] && [ ! -s "$out/stdout" ] && grep -q "^$name: .*display" "$out/stderr" &&
          { [ "$(lines stderr)" = 1 ] || [ "$display" = :99999 ]; } ;;
      silent) [ $status -eq 1 ] && grep -q "^$name: .*display :99999 does not answer" "$out/stderr" ;;
      window) [ $status -eq 124 ] ;;  # opens the window and runs until stopped
      version) [ $status -eq 0 ] && [ "$(cat "$out/stdout")" = "$name $version" ] ;;
      help) [ $status -eq 0 ] && cmp -s "$out/stdout" "$out/help" ;;
    esac || fail "$name $want: QT_QPA_PLATFORM=$platform DISPLAY=$display $args: status $status, '$(cat "$out/stderr")'"
  done <<EOF
none - -
none xcb:foo -
none offscreen - -platform xcb
none - :99999
none - - --platform offscreen -platform xcb
silent - - -display :99999
silent - :1 --display :99999
window - - -platform offscreen
window - - -platform xcb --platform offscreen
version - - --version
version - :99999 --version
version - - -display :99999 -v
help - - --help
help - :99999 -h
EOF
done
exit $failed
