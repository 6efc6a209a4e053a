#!/bin/bash
# RECEIVERS raw stream receivers fetching at the player's pace on one
# sivo-server, from one light epoll client (paced-fetch.c, built here with
# cc): while fewer than 100 packages wait in its queue, each receiver sends
# one fetch request every 5 ms, and its queue plays out at the clip's own
# package rate (from ffprobe) from 0.5 s on. A receiver is served in real
# time when its queue never runs dry. Prints the server's CPU per receiver
# and per package, answer latencies, and as the peer of the same run
# the rate one pipelined raw client (fetch.py) gets from the same server:
# the server's capacity against the paced load. A second, shorter run
# keeps every receiver at the full pace throughout, the most the player's
# pace can ask (40,000 requests/s for 200).
#
# usage: bench/paced-receivers.sh BUILD_DIR [RECEIVERS] [SECONDS]
#        (needs ports 8888, 2888 and 2000/udp free)
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 3 "BUILD_DIR [RECEIVERS] [SECONDS]" "$@"
RECEIVERS=${2:-200}
SECONDS_EACH=${3:-15}
FETCH_SECONDS=3
START_LIMIT_S=10

require_tools ffmpeg ffprobe python3 cc
require_bins "$SERVER"
small_clip "$MEDIA_DIR"

# Packages per second of media: what a receiver's queue plays out.
RATE=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$MEDIA_DIR/$CLIP_NAME" |
    awk -v d="$CLIP_S" '{ s += $1 } END { printf "%.2f", s / d }')

bench_workdir
cc -O2 -o "$WORK/paced-fetch" "$HERE/paced-fetch.c" -lm
# Several hundred sockets on each side.
ulimit -n 4096 2>/dev/null || true

require_free_ports 8888 2888
start_share_server "$MEDIA_DIR"

server_switches() { cat /proc/"$SERVER_PID"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt_switches/ { s += $2 } END { print s }'; }

echo "peer: one pipelined raw client, $FETCH_SECONDS s per mode:"
timeout $((FETCH_SECONDS * 6)) python3 "$HERE/fetch.py" "$CLIP_NAME" --seconds "$FETCH_SECONDS" | tee "$WORK/fetch.out"

# paced NAME RATE SECONDS: one run of the client; its output in
# $WORK/NAME.out, the server's CPU ticks and the wall seconds of the run
# (the answers' drain included) in $WORK/NAME.ticks.
paced() {
    local t0 w0
    echo "running $RECEIVERS receivers for $3 s (play-out rate $2) ..." >&2
    t0=$(server_ticks)
    w0=$(date +%s.%N)
    timeout $(($3 * 3 + 20)) "$WORK/paced-fetch" "$CLIP_NAME" "$RECEIVERS" "$3" "$2" >"$WORK/$1.out"
    echo "$(($(server_ticks) - t0)) $(awk -v a="$w0" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')" >"$WORK/$1.ticks"
}
paced player "$RATE" "$SECONDS_EACH"
# The same receivers never filling their queues: one request per 5 ms each
# for as long as the run lasts, the most the player's pace can ask.
paced full 0 $(((SECONDS_EACH + 2) / 3))

python3 - "$WORK" "$(getconf CLK_TCK)" "$RATE" <<'EOF'
import sys
work, hz, rate = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
pipelined = [float(l.split()[-2]) for l in open(f"{work}/fetch.out") if l.startswith("window")]
for name, label in (("player", f"queues of 100 playing out {rate:.1f} packages/s (the clip's rate)"),
                    ("full", "never-full queues, one request per 5 ms throughout")):
    r = {}
    for line in open(f"{work}/{name}.out"):
        k, v = line.split()
        r[k] = float(v)
    n, secs = int(r["receivers"]), r["seconds"]
    ticks, wall = open(f"{work}/{name}.ticks").read().split()
    cpu, wall = int(ticks) / hz, float(wall)
    asked = r["requests"] / secs
    print(f"{n} receivers x {secs:.0f} s, {label}: {asked:.0f} requests/s asked, "
          f"{r['answers']/secs:.0f} answers/s ({r['media']:.0f} media packages, {r['ends']:.0f} ends)")
    if name == "player":
        print(f"  served in real time: {n - int(r['dry_receivers'])}/{n} (queues ran dry for {r['dry_ms']:.0f} ms in all)")
    print(f"  answer latency p50 {r['lat_p50_ms']:.2f} ms, p99 {r['lat_p99_ms']:.2f} ms, max {r['lat_max_ms']:.1f} ms")
    print(f"  sivo-server CPU: {cpu:.2f} s in {wall:.1f} s = {100*cpu/wall:.1f}% of a core, "
          f"{100*cpu/wall/n:.3f}% of a core per receiver, "
          f"{1e6*cpu/max(r['answers'],1):.1f} us per package; client CPU {r['client_cpu_s']:.2f} s")
    if pipelined:
        print(f"  against the peer (one pipelined client gets {max(pipelined):.0f} packages/s from the same server): "
              f"{asked/max(pipelined):.2f}x asked")
EOF
