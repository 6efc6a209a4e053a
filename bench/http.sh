#!/bin/bash
# HTTP file serving against lighttpd and nginx, measured in the same run on
# the same directory: one curl download of a 1 GiB file, then 50 concurrent
# downloads of a smaller file (aggregate MB/s = total bytes / wall time):
# five rounds of each kind, every round starting with another server,
# median of each; and each server's
# own CPU (all its processes and threads, from /proc) per GiB served, over
# all rounds. Each peer runs as the current user from a private config in a
# temp dir. Targets against lighttpd: single and concurrent >= 0.9x, CPU
# per GiB <= 1.2x.
#
# usage: bench/http.sh BUILD_DIR   (needs ports 2888, 8888, 2000/udp, 18081, 18082 free)
# ROUNDS (default 5) sets the rounds of each kind.
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 1 "BUILD_DIR" "$@"
BIG="$MEDIA_DIR/big.bin"
BIG_BYTES=$((1024 * 1024 * 1024))
SMALL="$MEDIA_DIR/mid.bin"
SMALL_BYTES=$((64 * 1024 * 1024))
CONCURRENT=50
ROUNDS=${ROUNDS:-5}
SIVO_PORT=2888
LIGHTTPD_PORT=18081
NGINX_PORT=18082
START_LIMIT_S=10
CURL_LIMIT_S=60

require_tools curl lighttpd python3
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
require_tools "$NGINX"
LIGHTTPD=$(command -v lighttpd)
require_bins "$SERVER"

mkdir -p "$MEDIA_DIR"
make_file() { # path bytes
    if [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" != "$2" ]; then
        fallocate -l "$2" "$1" 2>/dev/null || dd if=/dev/zero of="$1" bs=1M count=$(($2 / 1048576)) status=none
    fi
}
make_file "$BIG" "$BIG_BYTES"
make_file "$SMALL" "$SMALL_BYTES"
ROOT=$(cd "$MEDIA_DIR" && pwd)

bench_workdir

write_lighttpd_conf "$WORK/lighttpd.conf" "$LIGHTTPD_PORT" "$ROOT"

write_nginx_conf "$WORK/nginx" "$NGINX_PORT" "$ROOT"

require_free_ports $SIVO_PORT $LIGHTTPD_PORT $NGINX_PORT
"$SERVER" --share-root "$ROOT" >"$WORK/sivo.log" 2>&1 &
SIVO_PID=$!
BENCH_PIDS+=($SIVO_PID)
"$LIGHTTPD" -D -f "$WORK/lighttpd.conf" >"$WORK/lighttpd.log" 2>&1 &
LIGHTTPD_PID=$!
BENCH_PIDS+=($LIGHTTPD_PID)
start_nginx "$NGINX" "$WORK/nginx"
NGINX_PID=$!
for port in $SIVO_PORT $LIGHTTPD_PORT $NGINX_PORT; do
    wait_port "$port"
done
kill -0 "$SIVO_PID" 2>/dev/null || { echo "$0: sivo-server ended: $(cat "$WORK/sivo.log")" >&2; exit 1; }

# One download; prints MB/s (10^6 bytes) and checks the byte count.
single() { # port file bytes
    local out
    out=$(curl -s -m "$CURL_LIMIT_S" -o /dev/null -w '%{size_download} %{speed_download}' \
        "http://127.0.0.1:$1/$2")
    set -- "$3" $out
    [ "$2" = "$1" ] || { echo "$0: short download ($2 of $1 bytes)" >&2; echo 0; return; }
    awk -v s="$3" 'BEGIN { printf "%.1f", s / 1e6 }'
}

# CONCURRENT downloads at once; prints aggregate MB/s over the wall time.
concurrent() { # port file bytes
    local start end i bad=0 curls=()
    start=$(date +%s.%N)
    for i in $(seq "$CONCURRENT"); do
        curl -s -m "$CURL_LIMIT_S" -o /dev/null -w '%{size_download}\n' \
            "http://127.0.0.1:$1/$2" >"$WORK/c.$i" &
        curls+=($!)
    done
    wait "${curls[@]}" || true
    end=$(date +%s.%N)
    for i in $(seq "$CONCURRENT"); do
        [ "$(cat "$WORK/c.$i")" = "$3" ] || bad=$((bad + 1))
    done
    [ $bad -eq 0 ] || echo "$0: $bad of $CONCURRENT downloads from port $1 came short" >&2
    awk -v n="$CONCURRENT" -v b="$3" -v s="$start" -v e="$end" -v bad="$bad" \
        'BEGIN { printf "%.1f", (n - bad) * b / 1e6 / (e - s) }'
}

# CPU ticks of a server: the process and its children (nginx's workers).
tree_ticks() {
    local pid t=0
    for pid in "$1" $(pgrep -P "$1"); do
        t=$((t + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
    done
    echo $t
}

# The files are read once first, so no server pays for a cold page cache;
# then ROUNDS rounds take the servers in turn and each keeps its median.
cat "$BIG" "$SMALL" >/dev/null
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
declare -A ONE MANY TICKS=([sivo]=0 [lighttpd]=0 [nginx]=0) \
    PORT=([sivo]=$SIVO_PORT [lighttpd]=$LIGHTTPD_PORT [nginx]=$NGINX_PORT) \
    PID=([sivo]=$SIVO_PID [lighttpd]=$LIGHTTPD_PID [nginx]=$NGINX_PID)
# measure KIND NAME: one download set, its server's CPU ticks counted.
measure() {
    local t0
    t0=$(tree_ticks "${PID[$2]}")
    if [ "$1" = single ]; then
        ONE[$2]+=" $(single "${PORT[$2]}" big.bin "$BIG_BYTES")"
    else
        MANY[$2]+=" $(concurrent "${PORT[$2]}" mid.bin "$SMALL_BYTES")"
    fi
    TICKS[$2]=$((TICKS[$2] + $(tree_ticks "${PID[$2]}") - t0))
}
# Single downloads follow single downloads, and each round starts with
# another server, so that none always comes first or right after the
# 50 clients of another.
SERVERS=(sivo lighttpd nginx)
for kind in single concurrent; do
    for round in $(seq 0 $((ROUNDS - 1))); do
        for i in 0 1 2; do
            measure "$kind" "${SERVERS[$(((round + i) % 3))]}"
        done
    done
done
GIB_SERVED=$(awk -v r="$ROUNDS" -v b="$BIG_BYTES" -v n="$CONCURRENT" -v s="$SMALL_BYTES" \
    'BEGIN { print r * (b + n * s) / 2^30 }')
declare -A CPU
for name in sivo lighttpd nginx; do
    CPU[$name]=$(awk -v t="${TICKS[$name]}" -v hz="$(getconf CLK_TCK)" -v g="$GIB_SERVED" 'BEGIN { printf "%.3f", t / hz / g }')
done
for name in sivo lighttpd nginx; do
    ONE[$name]=$(median ${ONE[$name]})
    MANY[$name]=$(median ${MANY[$name]})
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

printf '%-10s %14s %22s %16s\n' server "1 x 1 GiB MB/s" "$CONCURRENT x $((SMALL_BYTES / 1048576)) MiB MB/s" "CPU s per GiB"
for name in sivo lighttpd nginx; do
    printf '%-10s %14s %22s %16s\n' "$name" "${ONE[$name]}" "${MANY[$name]}" "${CPU[$name]}"
done
echo "sivo/lighttpd: single $(ratio "${ONE[sivo]}" "${ONE[lighttpd]}")x, concurrent $(ratio "${MANY[sivo]}" "${MANY[lighttpd]}")x," \
    "CPU per GiB $(ratio "${CPU[sivo]}" "${CPU[lighttpd]}")x (targets: >= 0.9x, >= 0.9x, <= 1.2x)"
echo "sivo/nginx:    single $(ratio "${ONE[sivo]}" "${ONE[nginx]}")x, concurrent $(ratio "${MANY[sivo]}" "${MANY[nginx]}")x," \
    "CPU per GiB $(ratio "${CPU[sivo]}" "${CPU[nginx]}")x"
