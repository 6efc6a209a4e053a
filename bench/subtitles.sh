#!/bin/bash
# What heavily styled ASS subtitles add to playing a 1080p clip: sivo-play
# --paint (each picture drawn at its own size into memory, subtitles
# included, as the window draws it) on the 30 s 1080p30 clip with a script
# beside it against the same clip without one, in the same run: CPU seconds
# per media second of each, their ratio (target at most 1.10), pictures
# shown and painted. Two scripts keep text on screen throughout:
# - styled, as a typeset film or episode is: two lines of dialogue with
#   border, shadow and blur that fade in and out every 3 s, a karaoke line in
#   three layers (glow, border, fill) lit syllable by syllable, and a
#   rotated, sheared sign on a blurred drawn box;
# - animated, the worst case: the same, but the karaoke fills sweep and each
#   syllable grows, and the sign and its box move across the picture, so
#   that every picture's subtitles are drawn anew.
# The peer, in the same run: mpv drawing the same clip and scripts in
# software (--vo=x11, which also converts each picture and lays libass's
# masks over it) fullscreen on an Xvfb screen of 1920x1080, its own CPU.
# Each run with a script goes at the same moment as one without (a pair
# takes under one of two cores): the speed of a shared machine drifts over
# minutes, and runs one after the other read that drift as a difference of
# up to 15%; a pair sees the same machine.
#
# usage: [ROUNDS=3] bench/subtitles.sh BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 1 "BUILD_DIR" "$@"
# The clip of playback.sh, generated once.
DURATION=30 FPS=30
CLIP="$MEDIA_DIR/bench-1080p${FPS}-${DURATION}s.mp4"
RUN_LIMIT_S=$((DURATION * 4))

require_tools ffmpeg mpv Xvfb xdpyinfo /usr/bin/time python3
require_bins "$PLAYER"
make_clip "$CLIP" 1920x1080 "$FPS" "$DURATION" 48000 veryfast 128k
bench_workdir

# The same clip three times, twice with a script beside it.
KINDS="plain styled animated"
for kind in $KINDS; do
    mkdir -p "$WORK/$kind"
    ln -s "$CLIP" "$WORK/$kind/film.mp4"
done
for kind in styled animated; do
    python3 - "$WORK/$kind/film.ass" "$DURATION" "$kind" <<'EOF'
import sys
path, duration, animated = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "animated"

def t(s):
    return "%d:%02d:%05.2f" % (s // 3600, s // 60 % 60, s % 60)

def ev(layer, a, b, style, text):
    return "Dialogue: %d,%s,%s,%s,,0,0,0,,%s\n" % (layer, t(a), t(b), style, text)

script = """[Script Info]
ScriptType: v4.00+
PlayResX: 1920
PlayResY: 1080
ScaledBorderAndShadow: yes
WrapStyle: 0

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Dialogue,DejaVu Sans,64,&H00FFFFFF,&H000000FF,&H00202020,&H80000000,0,0,0,0,100,100,0,0,1,3.5,2,2,120,120,60,1
Style: Karaoke,DejaVu Serif,56,&H00FFFFFF,&H00FF8000,&H00400000,&H00000000,1,0,0,0,100,100,2,0,1,3,0,8,60,60,40,1
Style: Sign,DejaVu Sans,72,&H0000E0FF,&H000000FF,&H00000000,&H00000000,1,0,0,0,100,100,4,0,1,5,0,5,10,10,10,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
"""
lines = [
    ("Did you hear that? Something moved", "behind the old station, near the tracks."),
    ("It's only the wind, come on.", "We'll miss the last train if we stay here."),
    ("Then why are the lights on", "in a building nobody has used for years?"),
]
syllables = ["Na", "ka", "ma", "ni", "te", "ra", "sa", "re", "ta", "yo", "ru", "no", "so", "ra"]
for start in range(0, duration, 3):
    first, second = lines[start // 3 % len(lines)]
    script += ev(0, start, start + 3, "Dialogue", r"{\fad(150,150)\blur0.6}%s\N{\i1}%s" % (first, second))
for start in range(0, duration, 5):
    step = 5000 // len(syllables) // 10  # centiseconds a syllable
    for layer, tags in ((0, r"\blur8\bord10\3c&HFF6000&\1a&HFF&"), (1, r"\blur2\bord4"), (2, r"\bord0\blur0.5")):
        text = r"{\an8%s\fad(200,200)}" % tags
        for k, s in enumerate(syllables):
            if animated:
                at = k * step * 10
                grow = r"\t(%d,%d,\fscx115\fscy115)\t(%d,%d,\fscx100\fscy100)" % (at, at + 150, at + 150, at + 300)
                text += r"{\kf%d%s}%s" % (step, grow, s)
            else:
                text += r"{\k%d}%s" % (step, s)
        script += ev(layer, start, start + 5, "Karaoke", text)
for start in range(0, duration, 6):
    if animated:
        box, sign, grow = r"\move(200,500,1100,300)", r"\move(520,580,1420,380)", r"\t(\fscx110\fscy110)"
    else:
        box, sign, grow = r"\pos(200,500)", r"\pos(520,580)", ""
    script += ev(3, start, start + 6, "Sign",
                 r"{\an7\p1%s\blur6\bord0\1c&H302010&\1a&H60&\frz-6\fax0.15}m 0 0 l 640 0 640 160 0 160{\p0}" % box)
    script += ev(4, start, start + 6, "Sign", r"{%s\frz-6\fax0.15\blur1.5%s}NORTH STATION" % (sign, grow))
open(path, "w").write(script)
EOF
done

# A screen for each mpv of a pair, so that neither hides the other.
DISPLAYS=()
N=160
for _ in 1 2; do
    while [ -e "/tmp/.X$N-lock" ] || [ -e "/tmp/.X11-unix/X$N" ]; do N=$((N + 1)); done
    Xvfb ":$N" -screen 0 1920x1080x24 -nolisten tcp -noreset >"$WORK/xvfb$N.err" 2>&1 &
    BENCH_PIDS+=($!)
    DISPLAYS+=(":$N")
    N=$((N + 1))
done
for display in "${DISPLAYS[@]}"; do
    for _ in $(seq 150); do
        xdpyinfo -display "$display" >/dev/null 2>&1 && break
        sleep 0.2
    done
done

# pair NAME CMD...: CMD on the clip without a script and on the one with
# ($kind), at the same moment, as runs NAME-plain-$kind$r and
# NAME-$kind-$kind$r. In CMD, FILM is the member's clip and SCREEN its
# display.
pair() {
    local name=$1 pids=() member pid
    shift
    for member in plain "$kind"; do
        local args=("${@//FILM/$WORK/$member/film.mp4}")
        args=("${args[@]//SCREEN/${DISPLAYS[${#pids[@]}]}}")
        # All trace (it tells a script was read and its text drawn).
        SIVO_TRACE="$WORK/$name-$member-$kind$r.trace" run "$name-$member-$kind$r" "${args[@]}" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || exit 1
    done
}

ROUNDS=${ROUNDS:-3}
export TIME_FORMAT="%U %S %M"
for r in $(seq "$ROUNDS"); do
    for kind in styled animated; do
        SDL_AUDIODRIVER=dummy pair sivo "$PLAYER" FILM --paint
        pair mpv env DISPLAY=SCREEN mpv --no-config --really-quiet --vo=x11 --fs --ao=null FILM
    done
done

python3 - "$WORK" "$DURATION" "$ROUNDS" "$((DURATION * FPS))" <<'EOF'
import json, statistics, sys
work, duration, rounds, total = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
kinds = ("styled", "animated")

def cost(name):
    user, sys_, rss = open(f"{work}/{name}.time").read().split()[-3:]
    return (float(user) + float(sys_)) / duration, int(rss) / 1024.0

def runs(player, member, kind):
    return [f"{player}-{member}-{kind}{r}" for r in range(1, rounds + 1)]

def line(name):
    return json.loads([l for l in open(f"{work}/{name}.out") if l.startswith("{")][-1])

def drawn(kind):
    traces = [open(f"{work}/{name}.trace").read() for name in runs("sivo", kind, kind)]
    return all("libass: fontselect" in t and "left out" not in t for t in traces)

median = statistics.median
print(f"subtitles: 30 s 1080p30 H.264 + AAC painted at 1920x1080 with an ASS script beside it or none,"
      f" {rounds} rounds, each run with a script at the same moment as one without; medians; CPU s per media s")
plain = {p: [cost(n) for kind in kinds for n in runs(p, "plain", kind)] for p in ("sivo", "mpv")}
print(f"  without            sivo {median(c[0] for c in plain['sivo']):.3f}"
      f"  mpv {median(c[0] for c in plain['mpv']):.3f}"
      f"  peak_rss_mb sivo {median(c[1] for c in plain['sivo']):.1f}")
for kind, target in (("styled", " (target <= 1.10)"), ("animated", " (worst case)")):
    for player in ("sivo", "mpv"):
        without = [cost(n) for n in runs(player, "plain", kind)]
        with_ = [cost(n) for n in runs(player, kind, kind)]
        ratios = [w[0] / p[0] for p, w in zip(without, with_)]
        added = [w[0] - p[0] for p, w in zip(without, with_)]
        sivo = player == "sivo"
        extra = (f"  peak_rss_mb {median(c[1] for c in with_):.1f}"
                 f"  all drawn: {'yes' if drawn(kind) else 'NO (see the trace)'}") if sivo else ""
        print(f"  {kind if sivo else '':9s}          {player:4s} {median(c[0] for c in with_):.3f}"
              f"  ratio {median(ratios):.3f}{target if sivo else ''}, added {median(added):.3f}"
              f"  (rounds: {' '.join('%.3f' % r for r in ratios)}){extra}")
for kind, name in (("plain", f"sivo-plain-styled{rounds}"), ("styled", f"sivo-styled-styled{rounds}"),
                   ("animated", f"sivo-animated-animated{rounds}")):
    run = line(name)
    print(f"  {kind:9s} shown {run['frames_shown']} / {total}, painted {run.get('frames_painted')},"
          f" lip sync {run.get('lipsync_mean_ms')} / {run.get('lipsync_max_ms')} ms")
EOF
