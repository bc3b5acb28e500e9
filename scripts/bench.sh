#!/usr/bin/env bash
# Runs the benchmarks on a release build and prints medians over repeated runs, then kelvorn-io's
# read time and watch rate (bench/read.sh), then kelvorn-mqtt's latency and idle CPU against a
# mosquitto broker (bench/mqtt_figures.cpp), then the programs on a board behind a bridge
# (bench/remote.sh), then a fleet of 100 bridges on mosquitto and on a two-node aedes cluster
# (bench/fleet.sh), then the Python package's figures (bench/python_figures.py: board.read()
# beside watch on an emulated FT232R, wait_for's reaction, Ctrl-C, a thread beside a wait), then
# the start-up and memory comparison with a bare Qt window. Usage: scripts/bench.sh [--no-startup]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVORN_TESTS=ON -DKELVORN_WERROR=ON \
  -DKELVORN_PYTHON=ON >/dev/null
cmake --build build-test -j"$(nproc)" --target device_bench panel_tick_bench bare_window kelvorn-panel \
  kelvorn-io watch_rate kelvorn-mqtt mqtt_figures poll_window remote_figures fleet_figures _kelvorn ft232r_testbed \
  >/dev/null
for bench in device_bench panel_tick_bench; do
  QT_QPA_PLATFORM=offscreen "build-test/bench/$bench" --benchmark_repetitions=9 \
    --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '_median|^Benchmark|^---'
done
bench/read.sh
build-test/bench/mqtt_figures
bench/remote.sh
bench/fleet.sh || echo "bench/fleet.sh: status $? (a goal missed, or something did not come up)" >&2
PYTHONPATH=build-test/python:build-test/tests/python umockdev-wrapper /usr/bin/python3 \
  bench/python_figures.py build-test/cli/kelvorn-io
[ "${1-}" = --no-startup ] || bench/startup.sh 15
