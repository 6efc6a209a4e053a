#!/bin/bash
# RECEIVERS raw stream receivers fetching at the player's pace on one
# sivo-server, from one light epoll client (paced-fetch.c, built here with
# cc): while fewer than 100 packages wait in its queue, each receiver sends
# one fetch request every 5 ms, and its queue plays out at the clip's own
# package rate (from ffprobe) from 0.5 s on. A receiver is served in real
# time when its queue never runs dry. Prints the server's CPU per receiver
# and per 1000 packages, answer latencies, and as the peer of the same run
# the rate one pipelined raw client (fetch.py) gets from the same server:
# the server's capacity against the paced load.
#
# usage: bench/paced-receivers.sh BUILD_DIR [RECEIVERS] [SECONDS]
#        (needs ports 8888, 2888 and 2000/udp free)
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 3 "BUILD_DIR [RECEIVERS] [SECONDS]" "$@"
RECEIVERS=${2:-200}
SECONDS_EACH=${3:-15}
HERE=$(cd "$(dirname "$0")" && pwd)
SERVER="$BUILD/bin/sivo-server"
MEDIA_DIR="$BUILD/benchmedia"
FPS=25
CLIP_S=120
CLIP_NAME="small-240p${FPS}-${CLIP_S}s.mp4"  # the clip of receivers.sh
FETCH_SECONDS=3
START_LIMIT_S=10

require_tools ffmpeg ffprobe python3 cc
require_bins "$SERVER"
make_clip "$MEDIA_DIR/$CLIP_NAME" 320x240 "$FPS" "$CLIP_S" 44100 ultrafast 64k

# Packages per second of media: what a receiver's queue plays out.
RATE=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$MEDIA_DIR/$CLIP_NAME" |
    awk -v d="$CLIP_S" '{ s += $1 } END { printf "%.2f", s / d }')

bench_workdir
cc -O2 -o "$WORK/paced-fetch" "$HERE/paced-fetch.c" -lm
# Several hundred sockets on each side.
ulimit -n 4096 2>/dev/null || true

require_free_ports 8888 2888
(cd "$MEDIA_DIR" && exec "$SERVER" --share-root "$MEDIA_DIR") >"$WORK/server.err" 2>&1 &
SERVER_PID=$!
BENCH_PIDS+=($SERVER_PID)
wait_port 8888

server_ticks() { awk '{print $14 + $15}' "/proc/$SERVER_PID/stat"; }
server_switches() { cat /proc/"$SERVER_PID"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches/ { s += $2 } END { print s }'; }

echo "peer: one pipelined raw client, $FETCH_SECONDS s per mode:"
timeout $((FETCH_SECONDS * 6)) python3 "$HERE/fetch.py" "$CLIP_NAME" --seconds "$FETCH_SECONDS" | tee "$WORK/fetch.out"

echo "running $RECEIVERS paced receivers for $SECONDS_EACH s ..." >&2
T0=$(server_ticks)
timeout $((SECONDS_EACH * 3 + 20)) "$WORK/paced-fetch" "$CLIP_NAME" "$RECEIVERS" "$SECONDS_EACH" "$RATE" >"$WORK/paced.out"
T1=$(server_ticks)

python3 - "$WORK" "$((T1 - T0))" "$(getconf CLK_TCK)" "$RATE" <<'EOF'
import sys
work, ticks, hz, rate = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
r = {}
for line in open(f"{work}/paced.out"):
    k, v = line.split()
    r[k] = float(v)
n, secs = int(r["receivers"]), r["seconds"]
cpu = ticks / hz
pipelined = [float(l.split()[-2]) for l in open(f"{work}/fetch.out") if l.startswith("window")]
asked = r["requests"] / secs
print(f"{n} receivers x {secs:.0f} s, the clip plays {rate:.1f} packages/s: {asked:.0f} requests/s asked, "
      f"{r['answers']/secs:.0f} answers/s ({r['media']:.0f} media packages, {r['ends']:.0f} ends)")
print(f"served in real time: {n - int(r['dry_receivers'])}/{n} (queues ran dry for {r['dry_ms']:.0f} ms in all); "
      f"answer latency p50 {r['lat_p50_ms']:.2f} ms, p99 {r['lat_p99_ms']:.2f} ms, max {r['lat_max_ms']:.1f} ms")
print(f"sivo-server CPU: {cpu:.2f} s = {100*cpu/secs:.1f}% of a core, {100*cpu/secs/n:.3f}% of a core per receiver, "
      f"{1000*cpu/max(r['answers'],1)*1000:.1f} ms per 1000 packages; client CPU {r['client_cpu_s']:.2f} s")
if pipelined:
    print(f"peer: one pipelined client gets {max(pipelined):.0f} packages/s from the same server; "
          f"the paced load asks {asked/max(pipelined):.2f}x that")
EOF
