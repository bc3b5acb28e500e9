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

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Every test tool has just been installed, so a test that skips itself has lost its tool: fail.
no_skips() {
  if grep -E '\*\*\*Skipped|Not Run' "$1"; then
    echo "test.sh: the tests above did not run, although test.sh installed what they need" >&2
    exit 1
  fi
}

echo "== the programs' tree as ./run.sh configures it, with umockdev hidden, as a Release build"
# A machine with GoogleTest but without umockdev (or the other way round) must still build the
# programs: hide umockdev's .pc file from pkg-config and build the four programs as ./run.sh does.
# Built for Release (-O3), the first build most users and packagers type, with warnings as errors:
# GCC warns at -O3 of what it does not see at -O2.
pcdir="$logs/pkgconfig"
mkdir "$pcdir"
IFS=: read -ra pc_path <<<"$(pkg-config --variable pc_path pkg-config)"
for dir in "${pc_path[@]}"; do
  for pc in "$dir"/*.pc; do
    [ -e "$pc" ] && [ "${pc##*/}" != umockdev-1.0.pc ] && ln -sf "$pc" "$pcdir/"
  done
done
pkg-config --exists umockdev-1.0  # it is installed; only the check's tree must not see it
source scripts/configure-programs.sh
(export PKG_CONFIG_LIBDIR="$pcdir"; unset PKG_CONFIG_PATH
 kelvorn_configure_programs build-run-check -DCMAKE_BUILD_TYPE=Release
 cmake --build build-run-check -j"$jobs" --target "${kelvorn_programs[@]##*/}" >/dev/null)
for program in "${kelvorn_programs[@]}"; do
  [ -x "build-run-check/$program" ] || { echo "test.sh: ./run.sh names build/$program, not built" >&2; exit 1; }
done
echo "programs' tree: ${kelvorn_programs[*]##*/} built for Release without umockdev in sight"

echo "== build and test"
# The MQTT tests' other brokers (aedes, and its Redis parts), as tests/brokers/package-lock.json pins them.
npm ci --prefix tests/brokers --no-audit --no-fund --loglevel=error >/dev/null
# With the Python package (on with the tests): its tests load it into Debian's Python, which
# the sanitizer build below cannot be loaded into, so that one leaves it out.
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVORN_TESTS=ON -DKELVORN_WERROR=ON
cmake --build build-test -j"$jobs"
ctest --test-dir build-test --output-on-failure -j"$jobs" | tee "$logs/plain"
no_skips "$logs/plain"

echo "== the Debian packages, built twice to check that they are reproducible"
built=$(scripts/package.sh)  # one path a line
mapfile -t debs <<<"$built"
built=$(tests/package/rebuild.sh "$logs")
mapfile -t rebuilt <<<"$built"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-deb/CMakeCache.txt)
tests/package/check.sh "$version" "${debs[@]}" -- "${rebuilt[@]}" | tee "$logs/package"

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKELVORN_SANITIZE=ON -DKELVORN_TESTS=ON \
  -DKELVORN_WERROR=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:verify_asan_link_order=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" | tee "$logs/asan"
no_skips "$logs/asan"

echo "== fuzzing, briefly (scripts/fuzz.sh runs longer)"
scripts/fuzz.sh "${KELVORN_FUZZ_SECONDS:-10}"

# One closing line for both test runs and the package checks (set -o pipefail has already
# stopped on any failure).
total=$(grep -h -o -E 'out of [0-9]+' "$logs/plain" "$logs/asan" | awk '{n += $3} END {print n + 0}')
total=$((total + $(sed -n 's/^package: \([0-9]*\) passed$/\1/p' "$logs/package")))
echo "test.sh: $total passed, 0 failed"
