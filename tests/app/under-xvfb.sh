#!/bin/sh
# Runs a widget test program on a private Xvfb through Qt's xcb platform, so
# that its windows get real X events, focus and exposes.
# usage: under-xvfb.sh PROGRAM [ARGS...]
set -eu
command -v Xvfb >/dev/null || { echo "Xvfb is not installed: skipped"; exit 0; }
dir=$(mktemp -d)
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$dir"' EXIT
# Xvfb takes the first free display itself and names it once it accepts clients.
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1280x800x24 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$dir/display" ] && break
    kill -0 "$xvfb" 2>/dev/null || { cat "$dir/xvfb.log" >&2; exit 1; }
    sleep 0.1
done
[ -s "$dir/display" ] || { echo "Xvfb did not come up" >&2; exit 1; }
DISPLAY=:$(cat "$dir/display") QT_QPA_PLATFORM=xcb "$@"
