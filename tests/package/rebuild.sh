#!/usr/bin/env bash
# Builds the packages a second time, as another packager would: in a temporary folder, from a clone
# of this checkout with its uncommitted changes and new files (or from a copy of the sources outside
# git), with fresh file times, another umask and without ccache. Copies the .debs into DIR and prints
# their paths, one a line, as package.sh does; check.sh compares them byte for byte with the first
# build.
# Usage: rebuild.sh DIR
set -euo pipefail
out=$(realpath "$1")
cd "$(dirname "$0")/../.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
umask 002
if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$PWD" ]; then
  git clone -q --no-checkout . "$tmp/src"
  git -C "$tmp/src" checkout -q --detach "$(git rev-parse HEAD)"
  git diff --binary HEAD | git -C "$tmp/src" apply --allow-empty
  git ls-files -z --others --exclude-standard | xargs -0 -r cp --parents -t "$tmp/src"
else  # sources without git: a copy, build folders left out
  mkdir "$tmp/src"
  tar -c --exclude='./build*' . | tar -x --touch -C "$tmp/src"
fi
debs=$(CCACHE_DISABLE=1 "$tmp/src/scripts/package.sh")
for deb in $debs; do
  cp "$tmp/src/$deb" "$out/"
  echo "$out/$(basename "$deb")"
done
