#!/usr/bin/env bash
# Builds the four programs in build/, says where they are, and starts the panel: on simulated
# boards next to the virtual board window (default), or with --board on the boards attached to
# this machine.
set -euo pipefail
cd "$(dirname "$0")"

usage() { echo "usage: ./run.sh [--board]" >&2; exit 2; }
program=kelvorn-panel-sim
case "${1-}" in
  "") ;;
  --board) program=kelvorn-panel ;;
  -h|--help) echo "usage: ./run.sh [--board]"; echo "  (none)   the panel on simulated boards, with the virtual board window"; echo "  --board  the panel on the Kelvorn boards attached to this machine"; exit 0 ;;
  *) usage ;;
esac
[ $# -le 1 ] || usage

source scripts/ensure-deps.sh
kelvorn_ensure_deps run

source scripts/configure-programs.sh
kelvorn_configure_programs build
cmake --build build -j"$(nproc)" --target "${kelvorn_programs[@]##*/}"

echo "The programs:"
printf '  build/%s\n' "${kelvorn_programs[@]}"
echo "Starting build/panel/$program"
exec "build/panel/$program"
