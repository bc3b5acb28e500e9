#!/bin/sh
# The "try it" block that opens docs/mqtt.md, run as printed on the program built here, against a
# mosquitto of its own on a free port of 127.0.0.1. Put in: that port for every client and the
# bridge, the program's path for build/mqtt/kelvorn-mqtt, and after the bridge's line a bounded
# wait for it to be up (the block's own `sleep 1` may be too short on a loaded machine); the
# package install is left out, the test tools being installed. Then checks what the block's
# subscriber printed. Usage: try-it.sh PAGE KELVORN_MQTT
set -u
page=$1 mqtt=$2
dir=$(mktemp -d)
chmod 755 "$dir"  # mosquitto started as root reads its configuration as the user mosquitto
broker= block=
trap 'for p in $block $broker; do kill -9 "-$p" 2>/dev/null; done; rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT PIPE TERM

# The first indented block of the page, without its indent.
awk '/^    [^ ]/ {on = 1} on && !/^    / {exit} on {print substr($0, 5)}' "$page" >"$dir/block"
[ "$(wc -l <"$dir/block")" -eq 5 ] || { echo "not five lines:"; cat "$dir/block"; exit 1; }

port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$dir/broker.conf"
timeout -s KILL 120 /usr/sbin/mosquitto -c "$dir/broker.conf" 2>"$dir/broker.log" &
broker=$!

# Waits up to 10 s for a line matching the pattern in the file.
await() {
  tries=0
  until grep -q "$2" "$1"; do
    tries=$((tries + 1))
    [ $tries -le 200 ] || { echo "not in $1 after 10 s: $2"; return 1; }
    sleep 0.05
  done
}
await "$dir/broker.log" ' running$' || exit 1

{
  echo "seen() { tries=0; until grep -qxF \"\$1\" '$dir/out'; do tries=\$((tries + 1)); [ \$tries -le 200 ] || exit 1; sleep 0.05; done; }"
  sed -e '/^sudo apt install /d' \
      -e "s|^mosquitto_sub |mosquitto_sub -p $port |; s|^mosquitto_pub |mosquitto_pub -p $port |" \
      -e "/^build\/mqtt\/kelvorn-mqtt /a seen 'kelvorn/D4E5F6/out2 OFF'" \
      -e "s|^build/mqtt/kelvorn-mqtt |'$mqtt' --port $port |" \
      "$dir/block"
  echo wait  # so that timeout outlives what the block started in the background
} >"$dir/script"
# timeout puts the block and all it starts in a process group of their own, killed at the end,
# or by timeout after a minute if this script is killed first.
timeout -s KILL 60 sh "$dir/script" >"$dir/out" 2>"$dir/err" &
block=$!

# Waits up to 10 s for the lines, each printed after the one before.
in_order() {
  at=0
  for line in "$@"; do
    tries=0
    until found=$(tail -n +$((at + 1)) "$dir/out" | grep -nxF -m 1 "$line"); do
      tries=$((tries + 1))
      [ $tries -le 200 ] || { echo "not printed in 10 s: $line, after line $at"; return 1; }
      sleep 0.05
    done
    at=$((at + ${found%%:*}))
  done
}
failed=0
# Each command, then what it brings about: the output's state and the input its wire pulls (the
# bridge publishes the input first, having read the pins right after the write).
in_order 'kelvorn/A1B2C3/out0/set ON' 'kelvorn/A1B2C3/out0 ON' || failed=1
in_order 'kelvorn/A1B2C3/out0/set ON' 'kelvorn/A1B2C3/in0 low' || failed=1
in_order 'kelvorn/A1B2C3/out1/pulse 500' 'kelvorn/A1B2C3/out1 ON' 'kelvorn/A1B2C3/out1 OFF' ||
  failed=1
in_order 'kelvorn/A1B2C3/out1/pulse 500' 'kelvorn/A1B2C3/in1 low' 'kelvorn/A1B2C3/in1 high' ||
  failed=1
if [ $failed -ne 0 ]; then
  echo "the block as run:"; cat "$dir/script"
  echo "it printed:"; cat "$dir/out" "$dir/err"
  exit 1
fi
echo "the try-it block of $page: as printed"
