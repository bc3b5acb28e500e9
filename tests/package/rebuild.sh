#!/usr/bin/env bash
# Builds the package a second time, as another packager would: from a clone of this checkout
# (with its uncommitted changes and new files) in a temporary folder, with fresh file times, another umask and
# without ccache. Copies the .deb into DIR and prints its path; check.sh compares it byte for byte
# with the first build. Usage: rebuild.sh DIR
set -euo pipefail
out=$(realpath "$1")
cd "$(dirname "$0")/../.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
git clone -q --no-checkout . "$tmp/src"
git -C "$tmp/src" checkout -q --detach "$(git rev-parse HEAD)"
git diff --binary HEAD | git -C "$tmp/src" apply --allow-empty
git ls-files -z --others --exclude-standard | xargs -0 -r cp --parents -t "$tmp/src"
umask 002
deb=$(CCACHE_DISABLE=1 "$tmp/src/scripts/package.sh")
cp "$tmp/src/$deb" "$out/"
echo "$out/$(basename "$deb")"
