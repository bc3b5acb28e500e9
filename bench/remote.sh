#!/usr/bin/env bash
# The programs on a board behind a bridge: Debian's mosquitto on a free loopback port, as it comes,
# and `kelvorn-mqtt --sim` holding A1B2C3.
#  1. `kelvorn-io --mqtt URL -s A1B2C3 read`, process start to exit, beside `mosquitto_sub -C 1`
#     reading one retained topic of the same broker, with hyperfine in one run; goal <= 1.5 x.
#  2. An output switch, call to confirmed return, beside the broker's round trip
#     (bench/remote_figures.cpp); goal p99 <= 2 x the round trip's p99 + 1 ms.
#  3. The panel connected, idle (polling, pattern off): its CPU share on the board behind the
#     bridge beside the same on the simulated board, under a private Xvfb (goal <= 1.1 x), and the
#     messages published on the broker meanwhile (goal: none but the bridge's heartbeat).
# Usage: bench/remote.sh [runs] [seconds]   (default 200 and 30; build first: scripts/bench.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-200}
seconds=${2:-30}
settle=3
prog=build-test/bench/poll_window
for built in cli/kelvorn-io mqtt/kelvorn-mqtt bench/poll_window bench/remote_figures; do
  [ -x "build-test/$built" ] || { echo "build first: scripts/bench.sh, or ./test.sh" >&2; exit 1; }
done
for tool in hyperfine mosquitto_sub; do
  command -v $tool >/dev/null || { echo "needs $tool (hyperfine, mosquitto-clients)" >&2; exit 1; }
done

source bench/private-display.sh
source bench/measure-window.sh
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$out/mosquitto.conf"
/usr/sbin/mosquitto -c "$out/mosquitto.conf" 2>"$out/mosquitto.log" &
broker=$!
build-test/mqtt/kelvorn-mqtt --sim --serial A1B2C3 --host 127.0.0.1 --port "$port" --name bench \
  --no-discovery 2>"$out/bridge.log" &
bridge=$!
trap 'kill $bridge $broker $xvfb 2>/dev/null; rm -rf "$out"' EXIT
url=mqtt://127.0.0.1:$port
for _ in $(seq 50); do  # the broker up, then the bridge's last retained state on it
  mosquitto_sub -h 127.0.0.1 -p "$port" -t kelvorn/A1B2C3/out2 -C 1 -W 1 >/dev/null 2>&1 && break
  sleep 0.2
done
mosquitto_sub -h 127.0.0.1 -p "$port" -t kelvorn/A1B2C3/out2 -C 1 -W 1 >/dev/null ||
  { echo "the bridge did not come up:" >&2; cat "$out/bridge.log" >&2; exit 1; }

echo "== kelvorn-io --mqtt read, whole process, beside mosquitto_sub -C 1 on one retained topic"
hyperfine -N --warmup 10 --runs "$runs" --export-json "$out/read.json" \
  "mosquitto_sub -h 127.0.0.1 -p $port -t kelvorn/A1B2C3/in0 -C 1" \
  "build-test/cli/kelvorn-io --mqtt $url -s A1B2C3 read" >/dev/null
sed -n 's/.*"median": *\([0-9.e-]*\).*/\1/p' "$out/read.json" |
  awk 'NR == 1 {s = $1 * 1000; printf "median mosquitto_sub -C 1:      %6.2f ms\n", s}
       NR == 2 {r = $1 * 1000; printf "median kelvorn-io --mqtt read:  %6.2f ms, %.2f x (goal <= 1.5: %s)\n",
                r, r / s, r / s <= 1.5 ? "met" : "MISSED"}'

echo "== an output switch"
build-test/bench/remote_figures

echo "== the panel connected and idle, $seconds s each"
sim=$(measure idle "  Kelvorn")
mosquitto_sub -h 127.0.0.1 -p "$port" -t '#' -v >"$out/published" &
sub=$!
sleep 1  # subscribed, and the retained state in
: >"$out/published"
remote=$(measure remote "  Kelvorn" "$url")
kill $sub
# The bridge's heartbeat goes on while nothing happens; everything else counts.
messages=$(grep -cv '^kelvorn/bridge/[^/]*/alive ' "$out/published" || true)
beats=$(grep -c '^kelvorn/bridge/[^/]*/alive ' "$out/published" || true)
printf 'panel on the simulated board      %6s %% of one core\n' "$sim"
awk -v r="$remote" -v s="$sim" 'BEGIN {printf "panel on the board behind a bridge %6s %% of one core, %.2f x (goal <= 1.1: %s)\n",
  r, r / s, r / s <= 1.1 ? "met" : "MISSED"}'
awk -v n="$messages" -v b="$beats" -v t="$((seconds + settle))" 'BEGIN {printf "messages published meanwhile: %d in %d s (goal: 0), and the bridge'"'"'s %d heartbeats\n", n, t, b}'
