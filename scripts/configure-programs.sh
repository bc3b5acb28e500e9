#!/usr/bin/env bash
# Configures the programs' tree as ./run.sh does: the programs only, no tests or benchmarks, so
# that nothing only the tests need (GoogleTest, umockdev, Google Benchmark) is looked for. Sourced
# by run.sh and by test.sh, which checks that this builds with the test tools half installed.
kelvorn_configure_programs() {
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVORN_TESTS=OFF >/dev/null
}
