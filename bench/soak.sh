#!/usr/bin/env bash
# Soak: one sivo-server for SOAK_S seconds (default 600) under a mix of paced
# stream receivers, HTTP downloads, connection churn, half-sent requests and
# UDP traffic (bench/soak-load.py). At the start, every minute and after the
# load has stopped it prints the server's RSS, threads, open descriptors and
# live-object counters. Fails when a request went unanswered, or when once
# idle again the server holds more threads, descriptors or live objects than
# at the start, or more memory than under the first minute of load, plus a
# margin (growth without bound ends there).
#
# usage: bench/soak.sh BUILD_DIR      needs ports 2000/udp, 2888 and 8888 free
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
bench_build 1 BUILD_DIR "$@"
SOAK_S=${SOAK_S:-600}
SAMPLE_S=${SAMPLE_S:-60}
require_tools python3 ffmpeg
require_bins "$BUILD/bin/sivo-server"
bench_workdir

mkdir -p "$WORK/share"
make_clip "$BUILD/benchmedia/soak-240p.mp4" 320x240 25 20 44100 veryfast 64k
cp "$BUILD/benchmedia/soak-240p.mp4" "$WORK/share/clip.mp4"
head -c $((8 << 20)) /dev/urandom >"$WORK/share/blob.mp4"

# The live-object counters reach us only through the trace; a filter keeps
# their lines and drops the rest.
mkfifo "$WORK/trace"
grep -ao --line-buffered 'PackageData-\?[0-9]* DataBuff:-\?[0-9]* VideoDemuxer:-\?[0-9]*' <"$WORK/trace" \
    >"$WORK/counters" &
BENCH_PIDS+=($!)
SIVO_TRACE="$WORK/trace" "$BUILD/bin/sivo-server" --share-root "$WORK/share" >"$WORK/server.log" 2>&1 &
server=$!
BENCH_PIDS+=("$server")
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/2888) 2>/dev/null && break
    sleep 0.1
done

# sample LABEL: one line of the server's figures; leaves them in RSS THREADS FDS OBJECTS.
sample() {
    RSS=$(awk '/^VmRSS/ {print $2}' "/proc/$server/status")
    THREADS=$(awk '/^Threads/ {print $2}' "/proc/$server/status")
    FDS=$(ls "/proc/$server/fd" | wc -l)
    local last
    last=$(tail -n 1 "$WORK/counters" 2>/dev/null || true)
    # PackageData + DataBuff + VideoDemuxer as of the latest accepted connection.
    OBJECTS=$(echo "$last" | grep -o -- '-\?[0-9]\+' | awk '{s += $1} END {print s + 0}')
    printf '%-8s rss %7d kB  threads %4d  fds %5d  live objects %6d  (%s)\n' \
        "$1" "$RSS" "$THREADS" "$FDS" "$OBJECTS" "${last:-none yet}"
}

# The counters are printed as a connection is accepted, before the closed
# ones are swept: after two rounds of bare connections the last line shows
# an idle server with one swept round behind it.
probe() {
    local round port
    for round in 1 2; do
        for port in 2888 8888; do
            (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || true
            sleep 0.5
        done
    done
}
probe
sample start
read -r rss0 threads0 fds0 objects0 <<<"$RSS $THREADS $FDS $OBJECTS"

python3 "$here/soak-load.py" "$WORK/share" --seconds "$SOAK_S" >"$WORK/load.out" 2>&1 &
load=$!
BENCH_PIDS+=("$load")
rss1=
for ((t = SAMPLE_S; t <= SOAK_S; t += SAMPLE_S)); do
    sleep "$SAMPLE_S"
    kill -0 "$server" 2>/dev/null || { echo "soak: sivo-server died" >&2; exit 1; }
    sample "$((t / 60))m$((t % 60))s"
    [ -n "$rss1" ] || rss1=$RSS
done
status=0
wait "$load" || status=$?
cat "$WORK/load.out"
sleep 5
probe
sample idle
rss1=${rss1:-$rss0}

fail() { echo "soak: $*" >&2; status=1; }
[ "$THREADS" -le $((threads0 + 2)) ] || fail "threads grew from $threads0 to $THREADS"
[ "$FDS" -le $((fds0 + 4)) ] || fail "descriptors grew from $fds0 to $FDS"
[ "$OBJECTS" -le $((objects0 + 4)) ] || fail "live objects grew from $objects0 to $OBJECTS"
[ "$RSS" -le $((rss1 * 3 / 2 + 32768)) ] || fail "RSS grew from $rss1 kB (first minute) to $RSS kB"
[ "$status" -eq 0 ] && echo "soak: passed" || echo "soak: FAILED" >&2
exit "$status"
