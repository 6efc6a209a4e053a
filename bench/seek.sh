#!/bin/bash
# Seek latency on a film-like file: 30 s of 1080p30 H.264 (B-frames, a key
# picture every 10 s) + AAC. After one second of play each player is asked to
# land exactly on a target; measured is the time from the request to the
# first picture of the target: sivo-play's seek_ms (the first picture shown
# at the target), mpv's precise seek (`seek T absolute+exact` over its IPC
# socket to its playback-restart event, which comes once the target's
# picture and sound are ready), in the same run, ROUNDS times each, medians.
# Targets 8 s (eight seconds of pictures to decode after the key) and 12 s
# (two).
#
# usage: [ROUNDS=N] bench/seek.sh BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 1 "BUILD_DIR" "$@"
CLIP="$MEDIA_DIR/bench-1080p30-gop10s.mp4"
ROUNDS=${ROUNDS:-5}
TARGET_MS=150
require_tools ffmpeg mpv python3
require_bins "$PLAYER"
if [ ! -s "$CLIP" ]; then
    mkdir -p "$MEDIA_DIR"
    echo "generating $CLIP ..." >&2
    ffmpeg -nostdin -loglevel error -y -f lavfi -i "testsrc2=size=1920x1080:rate=30:duration=30" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=30" \
        -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 300 -keyint_min 300 -sc_threshold 0 \
        -c:a aac -b:a 128k -ac 2 -shortest "$CLIP.tmp.mp4"
    mv "$CLIP.tmp.mp4" "$CLIP"
fi
bench_workdir

python3 - "$PLAYER" "$CLIP" "$ROUNDS" "$WORK" "$TARGET_MS" <<'EOF_PY'
import json, os, socket, statistics, subprocess, sys, time
player, clip, rounds, work, target_ms = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5])

def sivo(target):
    out = subprocess.run([player, clip, "--seek", str(target), "--seconds", "6"], capture_output=True, text=True,
                         env=dict(os.environ, SDL_AUDIODRIVER="dummy"), timeout=60).stdout
    line = [l for l in out.splitlines() if l.startswith("{")][-1]
    return json.loads(line).get("seek_ms")

def mpv(target):
    sock_path = f"{work}/mpv.sock"
    proc = subprocess.Popen(["mpv", "--no-config", "--really-quiet", "--vo=null", "--ao=null", "--hr-seek=yes",
                             f"--input-ipc-server={sock_path}", clip])
    try:
        for _ in range(200):
            if os.path.exists(sock_path):
                break
            time.sleep(0.02)
        sock = socket.socket(socket.AF_UNIX)
        sock.connect(sock_path)
        sock.settimeout(10)
        time.sleep(1.0)
        start = time.monotonic()
        sock.sendall(json.dumps({"command": ["seek", target, "absolute+exact"], "request_id": 7}).encode() + b"\n")
        buf, answered = b"", False
        while True:
            buf += sock.recv(65536)
            lines = buf.split(b"\n")
            buf = lines.pop()
            for l in lines:
                message = json.loads(l)
                # Events before the answer are the start's, not the seek's.
                answered = answered or message.get("request_id") == 7
                if answered and message.get("event") == "playback-restart":
                    return (time.monotonic() - start) * 1000.0
    finally:
        proc.terminate()
        proc.wait()
        if os.path.exists(sock_path):
            os.unlink(sock_path)

print(f"seek: 1080p30 H.264 with a key picture every 10 s, request to the target's first picture, {rounds} rounds, medians")
for target in (8, 12):
    s = [v for v in (sivo(target) for _ in range(rounds)) if v is not None]
    m = [mpv(target) for _ in range(rounds)]
    sm, mm = statistics.median(s) if s else float("nan"), statistics.median(m)
    print(f"  to {target:2d} s  sivo {sm:6.0f} ms (max {max(s) if s else float('nan'):.0f})  "
          f"mpv {mm:6.0f} ms (max {max(m):.0f})  ratio {sm / mm:.2f}  (target <= {target_ms} ms: "
          f"{'met' if sm <= target_ms else 'MISSED'})")
EOF_PY
