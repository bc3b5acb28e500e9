#!/bin/sh
# Runs a test program under umockdev-wrapper, whose preload redirects /sys and /dev into the
# testbed. In sanitizer builds that preload comes before the ASan runtime, which ASan must be told
# to accept. Without the wrapper the program runs as it is and skips itself (exit 77).
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
if command -v umockdev-wrapper >/dev/null 2>&1; then
    exec umockdev-wrapper "$@"
fi
exec "$@"
