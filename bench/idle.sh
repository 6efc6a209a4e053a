#!/bin/bash
# What idle connections cost a server: IDLE_EACH (default 75) connections
# of each kind held open by hold-idle.py (stream: described and silent;
# HTTP: answered and half-sent requests), 300 in all, and the server's CPU
# and wake-ups (voluntary context switches of all its threads) over
# IDLE_S seconds (default 10: the connections are measured before the
# server's 15 s idle limit closes them). In the same run: the same sivo-server idle
# with no connection, and lighttpd holding the HTTP half (150 connections;
# its keep-alive and read time-outs raised so that it keeps them).
# Target: the 300 connections cost sivo-server under 1% of a core.
#
# usage: bench/idle.sh BUILD_DIR   (needs ports 8888, 2888, 2000/udp, 18081 free)
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 1 "BUILD_DIR" "$@"
EACH=${IDLE_EACH:-75}
IDLE_S=${IDLE_S:-10}
LIGHTTPD_PORT=18081
START_LIMIT_S=10

require_tools ffmpeg python3 lighttpd
require_bins "$SERVER"
small_clip "$MEDIA_DIR"
ROOT=$(cd "$MEDIA_DIR" && pwd)
bench_workdir
ulimit -n 4096 2>/dev/null || true

write_lighttpd_conf "$WORK/lighttpd.conf" "$LIGHTTPD_PORT" "$ROOT" \
    "server.max-keep-alive-idle = 600" "server.max-read-idle = 600"

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches/ { s += $2 } END { print s + 0 }'; }
threads() { ls /proc/"$1"/task | wc -l; }

# measure LABEL PID: CPU % of a core and wake-ups per second over IDLE_S.
measure() {
    local t0 s0 t1 s1
    echo "measuring $1 for $IDLE_S s ..." >&2
    t0=$(ticks "$2")
    s0=$(switches "$2")
    sleep "$IDLE_S"
    t1=$(ticks "$2")
    s1=$(switches "$2")
    awk -v l="$1" -v t=$((t1 - t0)) -v hz="$(getconf CLK_TCK)" -v s=$((s1 - s0)) -v d="$IDLE_S" -v th="$(threads "$2")" \
        'BEGIN { printf "%-44s %6.2f%% of a core %9.1f wake-ups/s %6d threads\n", l, 100 * t / hz / d, s / d, th }' \
        | tee -a "$WORK/results"
}

# hold PORTS... KINDS: starts hold-idle.py, waits until its connections are in place.
HOLD_PID=
hold() { # stream_port http_port kinds
    mkfifo "$WORK/hold.in.$$"
    python3 "$HERE/hold-idle.py" --stream-port "$1" --http-port "$2" --name "$CLIP_NAME" --each "$EACH" \
        --kinds "$3" <"$WORK/hold.in.$$" >"$WORK/hold.out" &
    HOLD_PID=$!
    BENCH_PIDS+=($HOLD_PID)
    exec 3>"$WORK/hold.in.$$"
    local deadline=$((SECONDS + 60))
    until grep -q ready "$WORK/hold.out" 2>/dev/null; do
        kill -0 "$HOLD_PID" 2>/dev/null || { echo "$0: hold-idle.py failed" >&2; exit 1; }
        [ $SECONDS -lt $deadline ] || { echo "$0: connections not in place" >&2; exit 1; }
        sleep 0.2
    done
    sleep 1  # answers leave, threads settle
}
release() {
    exec 3>&-
    wait "$HOLD_PID" 2>/dev/null || true
    rm -f "$WORK/hold.in.$$"
}

require_free_ports 8888 2888 $LIGHTTPD_PORT
(cd "$ROOT" && exec "$SERVER" --share-root "$ROOT") >"$WORK/sivo.log" 2>&1 &
SIVO_PID=$!
BENCH_PIDS+=($SIVO_PID)
"$(command -v lighttpd)" -D -f "$WORK/lighttpd.conf" >"$WORK/lighttpd.log" 2>&1 &
LIGHTTPD_PID=$!
BENCH_PIDS+=($LIGHTTPD_PID)
wait_port 8888
wait_port 2888
wait_port $LIGHTTPD_PORT
sleep 1

measure "sivo-server, no connection" "$SIVO_PID"
hold 8888 2888 stream-answered,stream-silent,http-answered,http-half
measure "sivo-server, $((4 * EACH)) idle (stream + HTTP)" "$SIVO_PID"
release
hold 8888 $LIGHTTPD_PORT http-answered,http-half
measure "lighttpd (peer), $((2 * EACH)) idle HTTP" "$LIGHTTPD_PID"
release
awk 'NR == 2 { split($0, a, "%"); n = split(a[1], f, " "); v = f[n] }
     END { printf "target: %d idle connections under 1%% of a core: %s\n", 4 * '"$EACH"', (v < 1 ? "met" : "missed") }' \
    "$WORK/results"
