#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given seconds (default 300).
# New inputs go to a scratch folder; ./scripts/fuzz.sh 600 --keep merges them into the corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
keep=${2:-}
CXX=clang++ cmake -S . -B build-fuzz -DKELVORN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELVORN_WERROR=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for name in eeprom_strings driver_calls eeprom_decode script_parse mqtt_command; do
  corpus=tests/fuzz/corpus/$name
  mkdir -p "$scratch/$name"
  echo "fuzzing $name for ${seconds}s"
  if ! ./build-fuzz/tests/fuzz/${name}_fuzz -max_total_time="$seconds" \
      -artifact_prefix=build-fuzz/ "$scratch/$name" "$corpus" >"$scratch/$name.log" 2>&1; then
    tail -n 40 "$scratch/$name.log" >&2
    echo "fuzzer $name failed; the input is in build-fuzz/" >&2
    exit 1
  fi
  grep -E '^Done' "$scratch/$name.log"
  if [ "$keep" = "--keep" ]; then
    ./build-fuzz/tests/fuzz/${name}_fuzz -merge=1 "$corpus" "$scratch/$name" >/dev/null 2>&1
  fi
done
