#!/usr/bin/env bash
# A fleet on one machine: 100 bridges of 2 simulated boards each (`kelvorn-mqtt --sim-serials`,
# 200 serials FL0001..FL0200, --no-discovery, --interval 10), first on one Debian mosquitto (with
# set_tcp_nodelay true, as docs/mqtt.md advises: else its Nagle stalls the floor's client), then
# on a two-node aedes cluster sharing one redis-server (tests/brokers/aedes-node.js), the bridges
# on node 1 and the clients on node 2; everything on loopback, on free ports. On each:
#  1. `kelvorn-io --mqtt URL list`, process start to exit, beside `mosquitto_sub -C N` taking
#     exactly the N = 200 x 10 retained state messages (the floor), with hyperfine in one run;
#     the list must name all 200. Goal: median <= the floor's median + the client's quiet bound.
#  2. out0/set -> out0 of one board, both at the clients' node, beside the round trip from that
#     node to the bridges' (bench/fleet_figures.cpp). Goal: p99 <= 2 x the round trip's p99 + 1 ms.
#  3. Memory (VmRSS, and PSS for the bridges, which share their libraries) of the broker(s) and
#     the bridges, per board; the messages a `#` subscriber gets in 10 s of idle, state and
#     heartbeats (<prefix>/bridge/+/alive) apart.
# Stops everything it started; exits 1 when something did not come up or a goal was missed.
# Usage: bench/fleet.sh [runs] [commands]   (default 20 and 1000; build first: scripts/bench.sh)
#   QUIET_MS: the client's quiet bound in ms (default: read from docs/mqtt.md)
#   FLEET_BRIDGES: bridges (default 100), FLEET_BROKERS: "mosquitto aedes" (default both)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}
commands=${2:-1000}
bridges=${FLEET_BRIDGES:-100}
brokers=${FLEET_BROKERS:-mosquitto aedes}
boards=$((2 * bridges))
states=$((10 * boards))  # availability, bridge, in0-4, out0-2
idle=10                  # seconds
io=build-test/cli/kelvorn-io
for built in cli/kelvorn-io mqtt/kelvorn-mqtt bench/fleet_figures; do
  [ -x "build-test/$built" ] || { echo "build first: scripts/bench.sh, or ./test.sh" >&2; exit 1; }
done
for tool in hyperfine mosquitto_sub python3; do
  command -v $tool >/dev/null || { echo "needs $tool (hyperfine, mosquitto-clients)" >&2; exit 1; }
done
# The client's quiet bound: the listing waits until nothing new has come for that long.
quiet_ms=${QUIET_MS:-$(sed -nE 's/.*The quiet time is ([0-9]+) ms.*/\1/p' docs/mqtt.md | head -n 1)}

out=$(mktemp -d /tmp/kelvorn-fleet-XXXXXX)
fleet=()    # the bridges' pids
servers=()  # brokers and redis
missed=0

running() {  # whether pid $1 is alive, not a zombie waiting for us
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}
stop() {  # TERM to the pids given, 10 s for them to end, then KILL
  [ $# -gt 0 ] || return 0
  kill -TERM "$@" 2>/dev/null || true
  local left
  for _ in $(seq 100); do
    left=0
    for pid in "$@"; do running "$pid" && { left=1; break; }; done
    [ $left = 0 ] && break
    sleep 0.1
  done
  kill -KILL "$@" 2>/dev/null || true
  wait "$@" 2>/dev/null || true
}
cleanup() {
  stop "${fleet[@]}"
  stop "${servers[@]}"
  rm -rf "$out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() {
  echo "fleet: $*" >&2
  exit 1
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
pss_kib() { awk '/^Pss:/ {print $2}' "/proc/$1/smaps_rollup"; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
median_ms() {  # of hyperfine's command $2 in JSON file $1
  python3 -c 'import json, sys; print("%.1f" % (1000 * json.load(open(sys.argv[1]))["results"][int(sys.argv[2])]["median"]))' "$1" "$2"
}
# Waits up to 10 s for the word "ready" from a launcher's standard output in file $1.
await_ready() {
  for _ in $(seq 100); do
    grep -qw ready "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

start_fleet() {  # on the broker at port $1
  local a b
  for i in $(seq "$bridges"); do
    a=$(printf FL%04d $((2 * i - 1)))
    b=$(printf FL%04d $((2 * i)))
    build-test/mqtt/kelvorn-mqtt --sim-serials "$a,$b" --host 127.0.0.1 --port "$1" \
      --name "$(printf fleet%03d "$i")" --no-discovery 2>"$out/bridge$i.log" &
    fleet+=($!)
  done
}
# Whether every board's state is on the broker at port $1, each board Online.
fleet_up() {
  { mosquitto_sub -h 127.0.0.1 -p "$1" -t 'kelvorn/+/+' -v -W 3 2>/dev/null || true; } |
    awk -v states="$states" -v boards="$boards" '
      {topic = $1; $1 = ""; last[topic] = substr($0, 2)}
      END {n = 0; online = 0
           for (t in last) {n++; if (t ~ /\/availability$/ && last[t] == "Online") online++}
           exit !(n == states && online == boards)}'
}
await_fleet() {
  local start=$SECONDS
  until fleet_up "$1"; do
    [ $((SECONDS - start)) -lt 90 ] || return 1
  done
}

# Measures what the header says with the bridges on port $1 and the clients on port $2; $3 names
# the broker(s) in the report, $4 their pids as NAME:PID words.
measure() {
  local bport=$1 cport=$2 what=$3 pids=$4 url=mqtt://127.0.0.1:$2
  echo "== $what: $bridges bridges, $boards boards"
  local found=0 listed
  for _ in $(seq 10); do
    listed=$(timeout 60 "$io" --mqtt "$url" list 2>>"$out/list.err" | grep -c '^FL' || true)
    [ "$listed" -eq "$boards" ] && found=$((found + 1))
  done
  echo "kelvorn-io list named all $boards boards in $found of 10 runs (the last named $listed)"
  [ "$found" -eq 10 ] || { missed=1; sed -n '1,3p' "$out/list.err" >&2; }

  timeout 1800 hyperfine -N --warmup 2 --runs "$runs" --export-json "$out/list.json" \
    "mosquitto_sub -h 127.0.0.1 -p $cport -t kelvorn/+/+ -C $states" \
    "$io --mqtt $url list" >/dev/null || fail "hyperfine did not finish"
  local floor list
  floor=$(median_ms "$out/list.json" 0)
  list=$(median_ms "$out/list.json" 1)
  printf 'median mosquitto_sub -C %d (floor): %8.1f ms\n' "$states" "$floor"
  if [ -n "$quiet_ms" ]; then
    awk -v l="$list" -v f="$floor" -v q="$quiet_ms" 'BEGIN {
      printf "median kelvorn-io list:             %8.1f ms, goal <= %.1f + %d = %.1f: %s\n",
        l, f, q, f + q, l <= f + q ? "met" : "MISSED"; exit !(l <= f + q)}' || missed=1
  else
    printf 'median kelvorn-io list:             %8.1f ms, %.1f ms over the floor (QUIET_MS unknown: not judged)\n' \
      "$list" "$(awk -v l="$list" -v f="$floor" 'BEGIN {print l - f}')"
  fi

  timeout 600 build-test/bench/fleet_figures "$bport" "$cport" FL0001 "$commands" \
    >"$out/command" || fail "fleet_figures failed"
  cat "$out/command"
  ! grep -q MISSED "$out/command" || missed=1

  local rss=0 pss=0 min=0 max=0 r
  for pid in "${fleet[@]}"; do
    r=$(rss_kib "$pid")
    rss=$((rss + r))
    pss=$((pss + $(pss_kib "$pid")))
    [ "$min" -eq 0 ] || [ "$r" -lt "$min" ] && min=$r
    [ "$r" -gt "$max" ] && max=$r
  done
  echo "memory, MiB:"
  for named in $pids; do
    printf '  %-12s RSS %6s\n' "${named%%:*}" "$(mib "$(rss_kib "${named#*:}")")"
  done
  printf '  a bridge of 2 boards: RSS %s (%s-%s), PSS %s; per board RSS %s, PSS %s\n' \
    "$(mib $((rss / bridges)))" "$(mib "$min")" "$(mib "$max")" "$(mib $((pss / bridges)))" \
    "$(mib $((rss / boards)))" "$(mib $((pss / boards)))"

  timeout $((idle + 5)) mosquitto_sub -h 127.0.0.1 -p "$cport" -t '#' -v -R -W "$idle" \
    >"$out/idle" 2>/dev/null || true
  local alive all
  alive=$(grep -cE '^kelvorn/bridge/[^/ ]+/alive ' "$out/idle" || true)
  all=$(wc -l <"$out/idle")
  awk -v a="$alive" -v n="$all" -v t="$idle" 'BEGIN {
    printf "idle, a # subscriber over %d s: %.1f messages/s of state, %.1f/s heartbeats (alive)\n",
      t, (n - a) / t, a / t}'
}

for broker in $brokers; do
  case $broker in
  mosquitto)
    port=$(free_port)
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n' \
      "$port" \
      >"$out/mosquitto.conf"
    /usr/sbin/mosquitto -c "$out/mosquitto.conf" 2>"$out/mosquitto.log" &
    servers+=($!)
    mosquitto=$!
    for _ in $(seq 50); do grep -qs ' running' "$out/mosquitto.log" && break; sleep 0.1; done
    grep -q ' running' "$out/mosquitto.log" || fail "mosquitto did not start"
    empty=$(rss_kib "$mosquitto")
    start_fleet "$port"
    await_fleet "$port" || fail "the fleet did not come up on mosquitto: $(cat "$out"/bridge1.log)"
    measure "$port" "$port" "one mosquitto $(mosquitto -h | sed -n 's/.*version //p')" \
      "mosquitto:$mosquitto"
    printf '  mosquitto: %s MiB empty, %.1f KiB more per board\n' "$(mib "$empty")" \
      "$(awk -v a="$(rss_kib "$mosquitto")" -v e="$empty" -v b="$boards" 'BEGIN {print (a - e) / b}')"
    stop "${fleet[@]}"
    fleet=()
    stop "$mosquitto"
    servers=()
    ;;
  aedes)
    [ -f tests/brokers/aedes-node.js ] || fail "no tests/brokers/aedes-node.js"
    [ -d tests/brokers/node_modules ] || fail "no aedes: npm ci --prefix tests/brokers"
    command -v redis-server >/dev/null || fail "needs redis-server"
    redis=$(free_port)
    redis-server --port "$redis" --bind 127.0.0.1 --save '' --appendonly no \
      >"$out/redis.log" 2>&1 &
    servers+=($!)
    redis_pid=$!
    for _ in $(seq 50); do grep -qs 'Ready to accept' "$out/redis.log" && break; sleep 0.1; done
    grep -q 'Ready to accept' "$out/redis.log" || fail "redis-server did not start"
    node1=$(free_port)
    node tests/brokers/aedes-node.js --port "$node1" --redis-port "$redis" >"$out/node1.log" 2>&1 &
    servers+=($!)
    node1_pid=$!
    node2=$(free_port)
    node tests/brokers/aedes-node.js --port "$node2" --redis-port "$redis" >"$out/node2.log" 2>&1 &
    servers+=($!)
    node2_pid=$!
    await_ready "$out/node1.log" && await_ready "$out/node2.log" ||
      fail "aedes did not start: $(cat "$out/node1.log" "$out/node2.log")"
    empty1=$(rss_kib "$node1_pid")
    empty2=$(rss_kib "$node2_pid")
    start_fleet "$node1"
    await_fleet "$node2" || fail "the fleet did not come up on aedes: $(cat "$out"/bridge1.log)"
    measure "$node1" "$node2" "two aedes nodes and a redis-server" \
      "node1:$node1_pid node2:$node2_pid redis:$redis_pid"
    printf '  aedes nodes: %s and %s MiB empty, the bridges'"'"' node %.1f KiB more per board\n' \
      "$(mib "$empty1")" "$(mib "$empty2")" \
      "$(awk -v a="$(rss_kib "$node1_pid")" -v e="$empty1" -v b="$boards" 'BEGIN {print (a - e) / b}')"
    stop "${fleet[@]}"
    fleet=()
    stop "${servers[@]}"
    servers=()
    ;;
  *) fail "unknown broker $broker (mosquitto, aedes)" ;;
  esac
done
[ "$missed" -eq 0 ] || echo "fleet: a goal was missed, or a list fell short" >&2
exit "$missed"
