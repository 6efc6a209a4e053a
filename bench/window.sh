#!/bin/bash
# Cost of the desktop window against headless sivo-play on the same 30 s
# 1080p30 H.264 + AAC clip, measured in the same run: CPU seconds of sivo
# under Xvfb playing the clip through against sivo-play doing the same, the
# pictures each showed against the clip's frames (the window's own count from
# its trace, written when SIGTERM closes it), and launch to the first painted
# picture in the window (polled with xwd).
#
# usage: bench/window.sh BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/common.sh"

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
WINDOW="$BUILD/bin/sivo"
PLAYER="$BUILD/bin/sivo-play"
MEDIA_DIR="$BUILD/benchmedia"
CLIP="$MEDIA_DIR/bench-1080p30-30s.mp4"  # same clip as bench/playback.sh
DURATION=30
FPS=30
TOTAL_FRAMES=$((DURATION * FPS))
RUN_LIMIT_S=$((DURATION * 4))  # longer is a hang, not a measurement
FIRST_PICTURE_LIMIT_S=30
END_MARGIN_S=3   # after the clip's length, for the start-up and the last pictures
QUIT_LIMIT_S=10  # SIGTERM to exit; longer means the window ignored it
TARGET_RATIO=1.3

require_tools ffmpeg Xvfb xwd /usr/bin/time python3
require_bins "$WINDOW" "$PLAYER"
make_clip "$CLIP" 1920x1080 "$FPS" "$DURATION" 48000 veryfast 128k

WORK=$(mktemp -d)
XVFB_PID=""
cleanup() {
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

# A free display number.
N=150
while [ -e "/tmp/.X$N-lock" ] || [ -e "/tmp/.X11-unix/X$N" ]; do N=$((N + 1)); done
DISPLAY_NAME=":$N"
Xvfb "$DISPLAY_NAME" -screen 0 1920x1200x24 -nolisten tcp >"$WORK/xvfb.err" 2>&1 &
XVFB_PID=$!
for _ in $(seq 150); do
    xwd -silent -root -display "$DISPLAY_NAME" -out /dev/null 2>/dev/null && break
    sleep 0.2
done

# Prints the seconds until the screen shows the clip's colours, or "n/a".
first_picture() {
    local start=$1
    python3 - "$DISPLAY_NAME" "$start" "$FIRST_PICTURE_LIMIT_S" "$WORK/probe.xwd" <<'EOF'
import struct, subprocess, sys, time
display, start, limit, out = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]

def colourful():
    subprocess.run(["xwd", "-silent", "-root", "-display", display, "-out", out], check=True)
    d = open(out, "rb").read()
    f = struct.unpack(">25I", d[:100])
    hsize, w, h, order, bpp, bpl, ncol = f[0], f[4], f[5], f[7], f[11], f[12], f[19]
    base = hsize + ncol * 12
    step = bpp // 8
    seen = set()
    for y in range(0, h, 16):
        row = base + y * bpl
        for x in range(0, w, 16):
            p = d[row + x * step: row + x * step + 3]
            b, g, r = (p[0], p[1], p[2]) if order == 0 else (p[2], p[1], p[0])
            if max(r, g, b) - min(r, g, b) > 0x60:
                seen.add((r > 0x80, g > 0x80, b > 0x80))
    return len(seen) >= 4

while time.time() - start < limit:
    if colourful():
        print("%.0f" % ((time.time() - start) * 1000))
        sys.exit(0)
    time.sleep(0.05)
print("n/a")
EOF
}

echo "running sivo (window) ..." >&2
START=$(python3 -c 'import time; print(time.time())')
# time(1) must be the window's direct parent so its usage is what gets counted;
# the window is closed by SIGTERM once the clip has played.
SIVO_TRACE="$WORK/window.trace" DISPLAY="$DISPLAY_NAME" SDL_AUDIODRIVER=dummy \
    /usr/bin/time -f "%U %S %M" -o "$WORK/window.time" \
    "$WINDOW" "$CLIP" >"$WORK/window.out" 2>"$WORK/window.err" &
WINDOW_JOB=$!
FIRST_MS=$(first_picture "$START" 2>"$WORK/probe.err" || echo n/a)
python3 -c "import time,sys; time.sleep(max(0, $START + $DURATION + $END_MARGIN_S - time.time()))"
pkill -TERM -P "$WINDOW_JOB" 2>/dev/null || true
QUIT="clean"
for _ in $(seq $((QUIT_LIMIT_S * 10))); do
    pgrep -P "$WINDOW_JOB" >/dev/null || break
    sleep 0.1
done
if pkill -KILL -P "$WINDOW_JOB" 2>/dev/null; then
    QUIT="killed after ${QUIT_LIMIT_S} s"
fi
wait "$WINDOW_JOB" || QUIT="${QUIT}, non-zero exit"

echo "running sivo-play ..." >&2
if ! SIVO_TRACE="$WORK/play.trace" SDL_AUDIODRIVER=dummy timeout "$RUN_LIMIT_S" /usr/bin/time -f "%U %S %M" -o "$WORK/play.time" \
        "$PLAYER" "$CLIP" >"$WORK/play.out" 2>"$WORK/play.err"; then
    echo "$0: sivo-play failed:" >&2
    tail -5 "$WORK/play.err" >&2
    exit 1
fi

python3 - "$WORK" "$DURATION" "$TOTAL_FRAMES" "$FIRST_MS" "$TARGET_RATIO" "$QUIT" <<'EOF'
import json, re, sys
work, duration, total, first_ms, target, quit = (sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), sys.argv[4],
                                                 float(sys.argv[5]), sys.argv[6])

def cost(name):
    user, sys_, rss = open(f"{work}/{name}.time").read().split()[-3:]
    return float(user) + float(sys_), int(rss) / 1024.0

win_cpu, win_rss = cost("window")
play_cpu, play_rss = cost("play")
lines = [l for l in open(f"{work}/play.out") if l.startswith("{")]
stats = json.loads(lines[-1]) if lines else {}
ratio = win_cpu / play_cpu if play_cpu > 0 else float("inf")
print("window: 30 s 1080p30 H.264 + AAC, sivo under Xvfb against headless sivo-play")
print(f"  cpu_s              window {win_cpu:.2f}  sivo-play {play_cpu:.2f}  ratio {ratio:.2f} "
      f"(target <= {target}: {'met' if ratio <= target else 'MISSED'})")
print(f"  peak_rss_mb        window {win_rss:.1f}  sivo-play {play_rss:.1f}")

def share(n):
    return f"{n} / {total} ({100.0 * n / total:.1f}%)" if isinstance(n, int) else "n/a"

drawn = painted = "n/a"
try:
    for line in open(f"{work}/window.trace", errors="replace"):
        m = re.search(r"video window: (\d+) pictures drawn, (\d+) painted", line)
        if m:
            drawn, painted = int(m.group(1)), int(m.group(2))
except OSError:
    pass
print(f"  pictures_drawn     window {share(drawn)}  sivo-play {share(stats.get('frames_shown', 'n/a'))}"
      f"  (target >= 99%)")
print(f"  pictures_painted   window {share(painted)}")
print(f"  first_picture_ms   window {first_ms}  sivo-play {stats.get('first_picture_ms', 'n/a')}  (target < 1000)")
print(f"  sigterm            window {quit}")
EOF
