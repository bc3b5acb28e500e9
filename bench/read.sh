#!/usr/bin/env bash
# `kelvorn-io --sim read` end to end, process start to exit, against /bin/true, with hyperfine;
# then the sample rate of `watch --interval 1` on the simulated board (bench/watch_rate.cpp).
# Usage: bench/read.sh [runs]   (build first: scripts/bench.sh, or ./test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
io=build-test/cli/kelvorn-io
[ -x "$io" ] && [ -x build-test/bench/watch_rate ] ||
  { echo "build first: scripts/bench.sh, or ./test.sh" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "needs hyperfine (Debian package hyperfine)" >&2; exit 1; }
json=$(mktemp)
trap 'rm -f "$json"' EXIT
hyperfine -N --warmup 20 --runs "$runs" --export-json "$json" /bin/true "$io --sim read"
# Medians in milliseconds, from hyperfine's export.
sed -n 's/.*"median": *\([0-9.e-]*\).*/\1/p' "$json" |
  awk 'NR == 1 {t = $1 * 1000; printf "median /bin/true: %.2f ms\n", t}
       NR == 2 {r = $1 * 1000; printf "median kelvorn-io --sim read: %.2f ms (%.2f ms more)\n", r, r - t}'
build-test/bench/watch_rate 5
