#!/bin/bash
# Cost of the desktop window on the same 30 s 1080p30 H.264 + AAC clip, in
# the same run, fullscreen on an Xvfb screen of 1920x1080 and of 3840x2160:
# sivo (`--fullscreen`) against mpv `--vo=x11 --fs` (which also converts and
# scales each picture in software into an X image), both with Xvfb's CPU
# counted, and headless sivo-play (decoding and pacing alone) for scale.
# Reported per size, medians of ROUNDS: CPU seconds per media second, the
# ratios, pictures the window drew and painted against the clip's frames
# (the window's own count from its trace, written when SIGTERM closes it),
# mpv's dropped pictures, launch to the first painted picture. Then key to
# effect: how soon a pause and a seek show on the screen after the key
# (bench/key-latency.py).
#
# usage: [ROUNDS=N] bench/window.sh BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 1 "BUILD_DIR" "$@"
CLIP="$MEDIA_DIR/bench-1080p30-30s.mp4"  # same clip as bench/playback.sh
DURATION=30
FPS=30
TOTAL_FRAMES=$((DURATION * FPS))
RUN_LIMIT_S=$((DURATION * 4))  # longer is a hang, not a measurement
FIRST_PICTURE_LIMIT_S=30
END_MARGIN_S=2   # after the clip's length, for the start-up and the last pictures
QUIT_LIMIT_S=10  # SIGTERM to exit; longer means the window ignored it
# The window may cost no more than mpv's software output, Xvfb included.
TARGET_RATIO=1.0
ROUNDS=${ROUNDS:-1}

require_tools ffmpeg Xvfb xwd mpv /usr/bin/time python3
require_bins "$WINDOW" "$PLAYER"
make_clip "$CLIP" 1920x1080 "$FPS" "$DURATION" 48000 veryfast 128k

bench_workdir
# mpv's dropped pictures, written when it quits.
cat >"$WORK/drops.lua" <<'EOF_LUA'
local drops = 0
mp.observe_property("frame-drop-count", "number", function(_, v) if v then drops = v end end)
mp.register_event("shutdown", function()
    local f = io.open(mp.get_opt("drops-file"), "w")
    f:write(tostring(drops))
    f:close()
end)
EOF_LUA

# Xvfb's CPU so far in seconds (user + system).
xvfb_cpu() {
    python3 -c "import os,sys; f=open('/proc/$1/stat').read().rsplit(')',1)[1].split(); print((int(f[11])+int(f[12]))/os.sysconf('SC_CLK_TCK'))"
}

# Prints the milliseconds from START until the window's trace TRACE records
# its first painted picture, or "n/a".
first_picture() {
    python3 - "$1" "$2" "$FIRST_PICTURE_LIMIT_S" <<'EOF_PY'
import sys, time
start, trace, limit = float(sys.argv[1]), sys.argv[2], float(sys.argv[3])
while time.time() - start < limit:
    try:
        if "first picture painted" in open(trace, errors="replace").read():
            print("%.0f" % ((time.time() - start) * 1000))
            sys.exit(0)
    except OSError:
        pass
    time.sleep(0.01)
print("n/a")
EOF_PY
}

# One round on the screen of size S (display D, Xvfb pid X): the window,
# mpv, then sivo-play. Files are named window-S-R.*, mpv-S-R.*, play-S-R.*;
# each *.xvfb holds Xvfb's CPU during the run.
run_round() {
    local size=$1 r=$2 display=$3 xpid=$4 start job quit x0
    echo "$size round $r: sivo (window) ..." >&2
    x0=$(xvfb_cpu "$xpid")
    start=$(python3 -c 'import time; print(time.time())')
    # time(1) must be the window's direct parent so its usage is what gets
    # counted; the window is closed by SIGTERM once the clip has played. A
    # runtime directory of its own (a window already running for this user
    # elsewhere would otherwise be handed the clip) and no session bus.
    DBUS_SESSION_BUS_ADDRESS="unix:path=$WORK/no-bus" XDG_RUNTIME_DIR="$WORK" XDG_STATE_HOME="$WORK/state" \
        SIVO_TRACE="$WORK/window-$size-$r.trace" DISPLAY="$display" SDL_AUDIODRIVER=dummy \
        /usr/bin/time -f "%U %S %M" -o "$WORK/window-$size-$r.time" \
        "$WINDOW" --fullscreen "$CLIP" >"$WORK/window-$size-$r.out" 2>"$WORK/window-$size-$r.err" &
    job=$!
    first_picture "$start" "$WORK/window-$size-$r.trace" >"$WORK/first-$size-$r" 2>"$WORK/probe.err" ||
        echo n/a >"$WORK/first-$size-$r"
    python3 -c "import time; time.sleep(max(0, $start + $DURATION + $END_MARGIN_S - time.time()))"
    pkill -TERM -P "$job" 2>/dev/null || true
    quit="clean"
    for _ in $(seq $((QUIT_LIMIT_S * 10))); do
        pgrep -P "$job" >/dev/null || break
        sleep 0.1
    done
    if pkill -KILL -P "$job" 2>/dev/null; then
        quit="killed after ${QUIT_LIMIT_S} s"
    fi
    wait "$job" || quit="${quit}, non-zero exit"
    echo "$quit" >"$WORK/quit-$size-$r"
    python3 -c "print($(xvfb_cpu "$xpid") - $x0)" >"$WORK/window-$size-$r.xvfb"

    echo "$size round $r: mpv --vo=x11 ..." >&2
    x0=$(xvfb_cpu "$xpid")
    DISPLAY="$display" timeout "$RUN_LIMIT_S" /usr/bin/time -f "%U %S %M" -o "$WORK/mpv-$size-$r.time" \
        mpv --no-config --really-quiet --vo=x11 --fs --ao=null --script="$WORK/drops.lua" \
        --script-opts="drops-file=$WORK/mpv-$size-$r.drops" "$CLIP" >/dev/null 2>"$WORK/mpv-$size-$r.err" || true
    python3 -c "print($(xvfb_cpu "$xpid") - $x0)" >"$WORK/mpv-$size-$r.xvfb"

    echo "$size round $r: sivo-play ..." >&2
    if ! SIVO_TRACE="$WORK/play-$size-$r.trace" SDL_AUDIODRIVER=dummy timeout "$RUN_LIMIT_S" \
            /usr/bin/time -f "%U %S %M" -o "$WORK/play-$size-$r.time" \
            "$PLAYER" "$CLIP" >"$WORK/play-$size-$r.out" 2>"$WORK/play-$size-$r.err"; then
        echo "$0: sivo-play failed:" >&2
        tail -5 "$WORK/play-$size-$r.err" >&2
        exit 1
    fi
}

SIZES="1920x1080 3840x2160"
for size in $SIZES; do
    N=150
    while [ -e "/tmp/.X$N-lock" ] || [ -e "/tmp/.X11-unix/X$N" ]; do N=$((N + 1)); done
    Xvfb ":$N" -screen 0 "${size}x24" -nolisten tcp -noreset >"$WORK/xvfb.err" 2>&1 &
    xpid=$!
    BENCH_PIDS+=("$xpid")
    for _ in $(seq 150); do
        xwd -silent -root -display ":$N" -out /dev/null 2>/dev/null && break
        sleep 0.2
    done
    for r in $(seq "$ROUNDS"); do
        run_round "$size" "$r" ":$N" "$xpid"
    done
    kill "$xpid"
    wait "$xpid" 2>/dev/null || true
done

python3 - "$WORK" "$ROUNDS" "$TOTAL_FRAMES" "$TARGET_RATIO" "$DURATION" $SIZES <<'EOF_PY'
import json, re, statistics, sys
work, rounds, total, target, duration = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
sizes = sys.argv[6:]

def cpu(name):
    user, sys_, rss = open(f"{work}/{name}.time").read().split()[-3:]
    return float(user) + float(sys_)

def xvfb(name):
    return float(open(f"{work}/{name}.xvfb").read())

def window_counts(name):
    try:
        for line in open(f"{work}/{name}.trace", errors="replace"):
            m = re.search(r"video window: (\d+) pictures drawn, (\d+) painted", line)
            if m:
                return int(m.group(1)), int(m.group(2))
    except OSError:
        pass
    return None, None

def median(values):
    values = [v for v in values if isinstance(v, (int, float))]
    return statistics.median(values) if values else None

def share(n):
    return f"{n:.0f} / {total} ({100.0 * n / total:.1f}%)" if n is not None else "n/a"

print(f"window: 30 s 1080p30 H.264 + AAC fullscreen under Xvfb, CPU s per media s (program + Xvfb), {rounds} round(s), medians")
for size in sizes:
    rows = []
    for r in range(1, rounds + 1):
        w, m, p = f"window-{size}-{r}", f"mpv-{size}-{r}", f"play-{size}-{r}"
        drawn, painted = window_counts(w)
        try:
            drops = int(float(open(f"{work}/{m}.drops").read()))
        except (OSError, ValueError):
            drops = None
        stats = [l for l in open(f"{work}/{p}.out") if l.startswith("{")]
        first = open(f"{work}/first-{size}-{r}").read().strip()
        rows.append(dict(win=(cpu(w) + xvfb(w)) / duration, winx=xvfb(w) / duration, mpv=(cpu(m) + xvfb(m)) / duration,
                         mpvx=xvfb(m) / duration, play=cpu(p) / duration, drawn=drawn, painted=painted, drops=drops,
                         shown=json.loads(stats[-1]).get("frames_shown") if stats else None,
                         first=float(first) if first != "n/a" else None, quit=open(f"{work}/quit-{size}-{r}").read().strip()))
    win, mpv, play = (median([r[k] for r in rows]) for k in ("win", "mpv", "play"))
    print(f"  {size}: sivo {win:.3f} (Xvfb {median([r['winx'] for r in rows]):.3f})  "
          f"mpv --vo=x11 {mpv:.3f} (Xvfb {median([r['mpvx'] for r in rows]):.3f})  sivo-play {play:.3f}")
    print(f"    ratio to mpv {win / mpv:.2f} (target <= {target}: {'met' if win / mpv <= target else 'MISSED'})"
          f"  ratio to sivo-play {win / play:.2f}")
    print(f"    pictures drawn {share(median([r['drawn'] for r in rows]))}  painted {share(median([r['painted'] for r in rows]))}"
          f"  sivo-play shown {share(median([r['shown'] for r in rows]))}  mpv dropped {median([r['drops'] for r in rows])}")
    print(f"    first picture {median([r['first'] for r in rows])} ms  sigterm {', '.join(sorted(set(r['quit'] for r in rows)))}")
EOF_PY

python3 "$(dirname "$0")/key-latency.py" "$WINDOW" "$CLIP" 6
