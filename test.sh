#!/usr/bin/env bash
# Builds everything and runs every test. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/ensure-deps.sh
kelvorn_ensure_deps

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j"$jobs"
