#!/bin/bash
# Playback cost of sivo-play against two mpv peers on the same 30 s 1080p30
# H.264 + AAC clip, measured in the same run: plain mpv (decodes every
# picture at full quality, as sivo does while it keeps up) and mpv with the
# decoding shortcuts (no loop filter, non-reference pictures skipped) that
# sivo falls back to only when it falls behind. CPU seconds per second of
# media, wake-ups (voluntary context switches) per second of playback and
# while paused, peak RSS, and sivo-play's own presentation and lip sync
# figures. Then both players under pressure: pinned to one core that a busy
# loop shares, does each keep real time, and how many pictures does it show?
#
# usage: [ROUNDS=3] bench/playback.sh BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 1 "BUILD_DIR" "$@"
CLIP="$MEDIA_DIR/bench-1080p30-30s.mp4"
DURATION=30
FPS=30
TOTAL_FRAMES=$((DURATION * FPS))
# A run longer than this is a hang, not a measurement.
RUN_LIMIT_S=$((DURATION * 4))

require_tools ffmpeg mpv /usr/bin/time python3
require_bins "$PLAYER"
make_clip "$CLIP" 1920x1080 "$FPS" "$DURATION" 48000 veryfast 128k

bench_workdir

# Rounds alternate the players, so that load from elsewhere on the machine
# falls on all of them; the medians are reported. %w: voluntary context
# switches of all the process's threads, i.e. how often one of them slept.
ROUNDS=${ROUNDS:-3}
export TIME_FORMAT="%U %S %M %w"
for r in $(seq "$ROUNDS"); do
    SDL_AUDIODRIVER=dummy run "sivo$r" "$PLAYER" "$CLIP"
    run "mpv$r" mpv --no-config --really-quiet --vo=null --ao=null "$CLIP"
    run "mpvfast$r" mpv --no-config --really-quiet --vo=null --ao=null --vd-lavc-skiploopfilter=all \
        --vd-lavc-skipidct=nonref --vd-lavc-skipframe=nonref "$CLIP"
    # One second of pause 3 s in; sivo-play counts the wake-ups while paused.
    SDL_AUDIODRIVER=dummy run "paused$r" "$PLAYER" "$CLIP" --pause-at 3 --seconds 6
done

# Under pressure: one core, shared with a busy loop for the whole run.
taskset -c 0 sh -c 'while :; do :; done' &
BUSY=$!
trap 'kill $BUSY 2>/dev/null || true' EXIT
TIME_FORMAT="%e %U %S" SDL_AUDIODRIVER=dummy run "pressed" taskset -c 0 "$PLAYER" "$CLIP"
TIME_FORMAT="%e %U %S" run "mpvpressed" taskset -c 0 mpv --no-config --really-quiet --vo=null --ao=null "$CLIP"
kill $BUSY 2>/dev/null || true

python3 - "$WORK" "$DURATION" "$TOTAL_FRAMES" "$ROUNDS" <<'EOF'
import json, statistics, sys
work, duration, total, rounds = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])

def last_json(name):
    return json.loads([l for l in open(f"{work}/{name}.out") if l.startswith("{")][-1])

def cost(name):
    """Medians over the rounds: cpu s per media s, peak rss MB, voluntary switches per media s."""
    rows = []
    for r in range(1, rounds + 1):
        user, sys_, rss, vcsw = open(f"{work}/{name}{r}.time").read().split()[-4:]
        rows.append(((float(user) + float(sys_)) / duration, int(rss) / 1024.0, int(vcsw) / duration))
    return [statistics.median(col) for col in zip(*rows)]

sivo_cpu, sivo_rss, sivo_csw = cost("sivo")
mpv_cpu, mpv_rss, mpv_csw = cost("mpv")
fast_cpu, fast_rss, fast_csw = cost("mpvfast")
stats = last_json(f"sivo{rounds}")
runs = [last_json(f"sivo{r}") for r in range(1, rounds + 1)]

def med(key):
    """Median over the rounds of a key of sivo-play's line; None when a round has none."""
    values = [run.get(key) for run in runs]
    return None if None in values else statistics.median(values)
paused = [last_json(f"paused{r}").get("paused_wakeups_per_s") for r in range(1, rounds + 1)]
paused = [p for p in paused if p is not None]

def num(v, fmt):
    return "n/a" if v is None else fmt % v

print(f"playback: 30 s 1080p30 H.264 + AAC, medians of {rounds} alternating rounds")
print(f"  cpu_s_per_media_s  sivo {sivo_cpu:.3f}  mpv {mpv_cpu:.3f}  ratio {sivo_cpu / mpv_cpu:.2f}  (target <= 1.00)"
      f"  mpv-shortcuts {fast_cpu:.3f}  ratio {sivo_cpu / fast_cpu:.2f}")
print(f"  wakeups_per_s      sivo {sivo_csw:.0f}  mpv {mpv_csw:.0f}  mpv-shortcuts {fast_csw:.0f}"
      f"  (voluntary context switches per media second; target sivo <= 300)")
print(f"  paused_wakeups_s   sivo {num(statistics.median(paused) if paused else None, '%.1f')}"
      f"  (the whole player while paused; target <= 20)")
print(f"  peak_rss_mb        sivo {sivo_rss:.1f}  mpv {mpv_rss:.1f}  ratio {sivo_rss / mpv_rss:.2f}"
      f"  mpv-shortcuts {fast_rss:.1f}  ratio {sivo_rss / fast_rss:.2f}")
print(f"  frames_shown       {stats['frames_shown']} / {total} "
      f"({100.0 * stats['frames_shown'] / total:.1f} %), decoded {stats['frames_decoded']}, "
      f"expected {stats.get('frames_expected')} (target >= 99 %), "
      f"with shortcuts {num(stats.get('fast_decode_share'), '%.3f')}")
print(f"  first_picture_ms   {num(stats.get('first_picture_ms'), '%.1f')}")
print(f"  av_gap_mean_ms     {num(stats.get('av_gap_mean_ms'), '%.1f')}"
      f"  max {num(stats.get('av_gap_max_ms'), '%.1f')}")
print(f"  lipsync_mean_ms    {num(med('lipsync_mean_ms'), '%.1f')}"
      f"  max {num(med('lipsync_max_ms'), '%.1f')}  (medians; targets 40 / 100)"
      f"  rounds: {' '.join(num(r.get('lipsync_mean_ms'), '%.1f') + '/' + num(r.get('lipsync_max_ms'), '%.1f') for r in runs)}")
print(f"  wall_s             {stats['wall_s']}")
pressed = last_json("pressed")
print(f"  under pressure     sivo wall {pressed['wall_s']:.2f} s for {duration:.0f} s"
      f" ({100.0 * (pressed['wall_s'] - duration) / duration:+.1f} %, target within 3 %),"
      f" shown {pressed['frames_shown']} / {total}, shortcuts {num(pressed.get('fast_decode_share'), '%.3f')},"
      f" lip sync {num(pressed.get('lipsync_mean_ms'), '%.1f')} / {num(pressed.get('lipsync_max_ms'), '%.1f')} ms"
      f" (max target 120)")
print(f"  mpv under pressure wall {float(open(f'{work}/mpvpressed.time').read().split()[-3]):.2f} s")
EOF
