#!/bin/bash
# Playback cost of sivo-play against two mpv peers on the same 30 s 1080p30
# H.264 + AAC clip, measured in the same run: plain mpv (decodes every
# picture) and mpv with the decoding shortcuts sivo takes by design (no loop
# filter, non-reference pictures skipped). CPU seconds per second of media,
# peak RSS, and sivo-play's own presentation and lip sync figures.
#
# usage: bench/playback.sh BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 1 "BUILD_DIR" "$@"
PLAYER="$BUILD/bin/sivo-play"
MEDIA_DIR="$BUILD/benchmedia"
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

SDL_AUDIODRIVER=dummy run sivo "$PLAYER" "$CLIP"
run mpv mpv --no-config --really-quiet --vo=null --ao=null "$CLIP"
run mpvfast mpv --no-config --really-quiet --vo=null --ao=null --vd-lavc-skiploopfilter=all \
    --vd-lavc-skipidct=nonref --vd-lavc-skipframe=nonref "$CLIP"

python3 - "$WORK" "$DURATION" "$TOTAL_FRAMES" <<'EOF'
import json, sys
work, duration, total = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])

def cost(name):
    user, sys_, rss = open(f"{work}/{name}.time").read().split()[-3:]
    return (float(user) + float(sys_)) / duration, int(rss) / 1024.0

sivo_cpu, sivo_rss = cost("sivo")
mpv_cpu, mpv_rss = cost("mpv")
fast_cpu, fast_rss = cost("mpvfast")
line = [l for l in open(f"{work}/sivo.out") if l.startswith("{")][-1]
stats = json.loads(line)

def num(v, fmt):
    return "n/a" if v is None else fmt % v

print("playback: 30 s 1080p30 H.264 + AAC")
print(f"  cpu_s_per_media_s  sivo {sivo_cpu:.3f}  mpv {mpv_cpu:.3f}  ratio {sivo_cpu / mpv_cpu:.2f}"
      f"  mpv-shortcuts {fast_cpu:.3f}  ratio {sivo_cpu / fast_cpu:.2f}")
print(f"  peak_rss_mb        sivo {sivo_rss:.1f}  mpv {mpv_rss:.1f}  ratio {sivo_rss / mpv_rss:.2f}"
      f"  mpv-shortcuts {fast_rss:.1f}  ratio {sivo_rss / fast_rss:.2f}")
print(f"  frames_shown       {stats['frames_shown']} / {total} "
      f"({100.0 * stats['frames_shown'] / total:.1f} %), decoded {stats['frames_decoded']}")
print(f"  first_picture_ms   {num(stats.get('first_picture_ms'), '%.1f')}")
print(f"  av_gap_mean_ms     {num(stats.get('av_gap_mean_ms'), '%.1f')}"
      f"  max {num(stats.get('av_gap_max_ms'), '%.1f')}")
print(f"  lipsync_mean_ms    {num(stats.get('lipsync_mean_ms'), '%.1f')}"
      f"  max {num(stats.get('lipsync_max_ms'), '%.1f')}  (targets 40 / 100)")
print(f"  wall_s             {stats['wall_s']}")
EOF
