#!/bin/bash
# One sivo-server under load: first the raw fetch rate (bench/fetch.py,
# unpaced, one request in flight and pipelined), then RECEIVERS sivo-play
# --remote players started at once on a small clip for SECONDS each. A
# receiver keeps real time when it played to the end of its window without
# falling behind the wall clock and showed at least 90% of the frames one
# local sivo-play shows of the same clip, measured first in the same run.
# As a peer, the same number of local sivo-play players then run at once on
# the same clip: it shows what the machine itself can keep in real time.
# For each group, the players' CPU and wake-ups (voluntary context switches)
# per second of play, summed over the group.
#
# usage: bench/receivers.sh BUILD_DIR [RECEIVERS] [SECONDS]
#        (needs ports 8888 and 2888 free)
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 3 "BUILD_DIR [RECEIVERS] [SECONDS]" "$@"
RECEIVERS=${2:-50}
SECONDS_EACH=${3:-20}
FETCH_SECONDS=5
RUN_LIMIT_S=$((SECONDS_EACH * 4))

require_tools ffmpeg python3 /usr/bin/time
require_bins "$PLAYER" "$SERVER"
small_clip "$MEDIA_DIR"

bench_workdir
PLAYER_PIDS=()

require_free_ports 8888 2888
start_share_server "$MEDIA_DIR"

echo "raw fetch client, $FETCH_SECONDS s per mode:"
timeout $((FETCH_SECONDS * 4)) python3 "$HERE/fetch.py" "$CLIP_NAME" --seconds "$FETCH_SECONDS"

echo "local peer run ..." >&2
SDL_AUDIODRIVER=dummy timeout "$RUN_LIMIT_S" "$PLAYER" "$MEDIA_DIR/$CLIP_NAME" \
    --seconds "$SECONDS_EACH" >"$WORK/local.out" 2>"$WORK/local.err"

# run_many PREFIX ARGS...: RECEIVERS players at once, results in $WORK/PREFIXi.out
run_many() {
    local prefix=$1 i pid
    shift
    echo "starting $RECEIVERS $prefix players for $SECONDS_EACH s ..." >&2
    for i in $(seq "$RECEIVERS"); do
        SDL_AUDIODRIVER=dummy timeout "$RUN_LIMIT_S" /usr/bin/time -f "%U %S %w" -o "$WORK/$prefix$i.time" \
            "$PLAYER" "$@" --seconds "$SECONDS_EACH" >"$WORK/$prefix$i.out" 2>"$WORK/$prefix$i.err" &
        PLAYER_PIDS+=($!)
        BENCH_PIDS+=($!)
    done
    for pid in "${PLAYER_PIDS[@]}"; do
        wait "$pid" || true
    done
    PLAYER_PIDS=()
}
T0=$(server_ticks)
run_many r --remote 127.0.0.1 "$CLIP_NAME"
T1=$(server_ticks)
run_many l "$MEDIA_DIR/$CLIP_NAME"

python3 - "$WORK" "$RECEIVERS" "$SECONDS_EACH" "$CLIP_FPS" "$((T1 - T0))" "$(getconf CLK_TCK)" <<'EOF'
import json, sys
work, n, secs, fps = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
server_cpu = int(sys.argv[5]) / int(sys.argv[6])
local = json.loads(open(f"{work}/local.out").read().strip().splitlines()[-1])
def results(prefix):
    rows = []
    for i in range(1, n + 1):
        try:
            rows.append(json.loads(open(f"{work}/{prefix}{i}.out").read().strip().splitlines()[-1]))
        except (OSError, IndexError, ValueError):
            rows.append(None)
    return rows
def load(prefix):
    cpu = wakeups = 0.0
    for i in range(1, n + 1):
        try:
            user, sys_, vcsw = open(f"{work}/{prefix}{i}.time").read().split()[-3:]
        except (OSError, ValueError):
            continue
        cpu += float(user) + float(sys_)
        wakeups += int(vcsw)
    return cpu / secs, wakeups / secs
def real_time(s):
    # Reached the end of the window, the wall clock did not run more than
    # 1.5 s past it, and it showed 90% of what one lone local player shows.
    return (s is not None and s["position_s"] >= secs - 1 and s["wall_s"] <= secs + 1.5
            and s["frames_shown"] >= 0.9 * local["frames_shown"])
print(f"{n} players x {secs:.0f} s of 320x240 {fps:.0f} fps H.264 + AAC at once "
      f"(one lone local sivo-play shows {local['frames_shown']} of {fps*secs:.0f} frames)")
for prefix, label in (("r", "remote, one sivo-server"), ("l", "local, peer")):
    rows = results(prefix)
    got = [s for s in rows if s]
    line = f"{label:24} kept real time: {sum(map(real_time, rows))}/{n}; no result: {n - len(got)}"
    if got:
        line += (f"; frames shown {min(s['frames_shown'] for s in got)}-{max(s['frames_shown'] for s in got)}"
                 f", position_s {min(s['position_s'] for s in got)}-{max(s['position_s'] for s in got)}"
                 f", wall_s {min(s['wall_s'] for s in got):.2f}-{max(s['wall_s'] for s in got):.2f}")
    cpu, wakeups = load(prefix)
    print(line)
    print(f"{'':24} players together: {cpu:.2f} CPU s and {wakeups:.0f} wake-ups per second of play")
print(f"sivo-server CPU while serving them: {server_cpu:.1f} s, {100 * server_cpu / secs / n:.1f}% of a core per receiver")
EOF
