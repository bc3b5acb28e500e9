#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, the Debian package with its checks
# (installed and purged again when run as root), the same suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer with leak checking, and a short fuzzing run.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/ensure-deps.sh
kelvorn_ensure_deps test

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVORN_TESTS=ON
cmake --build build -j"$jobs"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
ctest --test-dir build --output-on-failure -j"$jobs" | tee "$logs/plain"

echo "== the Debian package, built twice to check that it is reproducible"
deb=$(scripts/package.sh)
rebuilt=$(tests/package/rebuild.sh "$logs")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-deb/CMakeCache.txt)
tests/package/check.sh "$deb" "$version" "$rebuilt" | tee "$logs/package"

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKELVORN_SANITIZE=ON -DKELVORN_TESTS=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:verify_asan_link_order=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" | tee "$logs/asan"

echo "== fuzzing, briefly (scripts/fuzz.sh runs longer)"
scripts/fuzz.sh "${KELVORN_FUZZ_SECONDS:-10}"

# One closing line for both test runs and the package checks (set -o pipefail has already
# stopped on any failure).
total=$(grep -h -o -E 'out of [0-9]+' "$logs/plain" "$logs/asan" | awk '{n += $3} END {print n + 0}')
total=$((total + $(sed -n 's/^package: \([0-9]*\) passed$/\1/p' "$logs/package")))
echo "test.sh: $total passed, 0 failed"
