#!/bin/bash
# Remote playback cost against local playback of the same clip, measured in
# the same run: sivo-play over sivo-server (stream port 8888) against
# sivo-play reading the file itself, as CPU seconds per second of media for
# the player and for the server. Then a raw client that fetches every package
# of the clip as fast as the sender answers (one request at a time, and with
# a window of requests in flight), in packages and megabytes per second.
#
# usage: bench/stream.sh BUILD_DIR   (needs ports 8888 and 2888 free)
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 1 "BUILD_DIR" "$@"
DURATION=30  # same clip as bench/playback.sh
CLIP="$MEDIA_DIR/bench-1080p30-${DURATION}s.mp4"
RUN_LIMIT_S=$((DURATION * 4))

require_tools ffmpeg /usr/bin/time python3
require_bins "$PLAYER" "$SERVER"
make_clip "$CLIP" 1920x1080 30 "$DURATION" 48000 veryfast 128k

bench_workdir
# The server's CPU in seconds, from /proc.
server_cpu() { awk -v t="$(server_ticks)" -v hz="$(getconf CLK_TCK)" 'BEGIN { print t / hz }'; }

SDL_AUDIODRIVER=dummy run local "$PLAYER" "$CLIP"
require_free_ports 8888 2888
start_share_server "$MEDIA_DIR" "$WORK"
CPU0=$(server_cpu)
SDL_AUDIODRIVER=dummy run remote "$PLAYER" --remote 127.0.0.1 "$CLIP"
CPU1=$(server_cpu)
echo "$CPU0 $CPU1" >"$WORK/server.cpu"
echo "running raw fetch client ..." >&2
python3 "$(dirname "$0")/fetch.py" "$CLIP" --once >"$WORK/fetch.out"

python3 - "$WORK" "$DURATION" <<'EOF'
import json, sys
work, duration = sys.argv[1], float(sys.argv[2])
def timing(name):
    user, sys_, rss = open(f"{work}/{name}.time").read().split()
    return float(user) + float(sys_), int(rss)
def summary(name):
    return json.loads(open(f"{work}/{name}.out").read().strip().splitlines()[-1])
lcpu, lrss = timing("local")
rcpu, rrss = timing("remote")
s0, s1 = map(float, open(f"{work}/server.cpu").read().split())
scpu = s1 - s0
l, r = summary("local"), summary("remote")
print(f"clip: 1920x1080 30 fps H.264 + AAC, {duration:.0f} s")
print(f"{'':18}{'cpu s/media s':>14}{'peak RSS MB':>13}{'shown':>7}{'first pic ms':>14}")
print(f"{'local sivo-play':18}{lcpu/duration:14.3f}{lrss/1024:13.1f}{l['frames_shown']:7}{l['first_picture_ms'] or 0:14.1f}")
print(f"{'remote sivo-play':18}{rcpu/duration:14.3f}{rrss/1024:13.1f}{r['frames_shown']:7}{r['first_picture_ms'] or 0:14.1f}")
print(f"{'sivo-server':18}{scpu/duration:14.3f}")
print(f"ratio remote player / local player CPU: {rcpu/lcpu:.2f}")
print(f"ratio remote player + server / local player CPU: {(rcpu+scpu)/lcpu:.2f}")
print("raw fetch of the whole clip (the player asks at most 200/s):")
print(open(f"{work}/fetch.out").read(), end="")
EOF
