# Sourced by the bench scripts that measure a window: starts a private Xvfb display, points
# DISPLAY at it and makes a scratch folder $out; both go when the script exits.
for tool in Xvfb xwininfo; do command -v $tool >/dev/null || { echo "needs $tool (xvfb, x11-utils)" >&2; exit 1; }; done
out=$(mktemp -d)
Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$out/display" >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$out"' EXIT
for _ in $(seq 100); do [ -s "$out/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$out/display")
unset QT_QPA_PLATFORM
