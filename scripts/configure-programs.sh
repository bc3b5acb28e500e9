#!/usr/bin/env bash
# Configures the programs' tree as ./run.sh does: the programs only, no tests or benchmarks, so
# that nothing only the tests need (GoogleTest, umockdev, Google Benchmark) is looked for, and
# warnings as errors. Further arguments go to cmake. Sourced by run.sh and by test.sh, which checks
# that this builds with the test tools half installed.
kelvorn_configure_programs() {
  local tree=$1
  shift
  cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVORN_TESTS=OFF -DKELVORN_WERROR=ON \
    "$@" >/dev/null
}
# The four programs, as paths in the tree; each one's target is its file name.
kelvorn_programs=(panel/kelvorn-panel-sim panel/kelvorn-panel cli/kelvorn-io mqtt/kelvorn-mqtt)
