# Shared set-up of the benchmark scripts; sourced, not run.

# require_tools TOOL...: every tool must be on PATH (or an absolute path).
require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "$0: $tool is missing (make bench-deps)" >&2; exit 1; }
    done
}

# require_bins BIN...: the project's executables must be built.
require_bins() {
    local bin
    for bin in "$@"; do
        [ -x "$bin" ] || { echo "$0: $bin is missing (build it first)" >&2; exit 1; }
    done
}

# make_clip PATH SIZE FPS SECONDS SAMPLE_RATE PRESET AUDIO_BITRATE: a testsrc2
# picture with a 440 Hz tone, H.264 (key frame every 2 s) + stereo AAC,
# generated once and cached.
make_clip() {
    local path=$1 size=$2 fps=$3 seconds=$4 rate=$5 preset=$6 abr=$7
    [ -s "$path" ] && return 0
    mkdir -p "$(dirname "$path")"
    echo "generating $path ..." >&2
    ffmpeg -nostdin -loglevel error -y \
        -f lavfi -i "testsrc2=size=$size:rate=$fps:duration=$seconds" \
        -f lavfi -i "sine=frequency=440:sample_rate=$rate:duration=$seconds" \
        -c:v libx264 -preset "$preset" -pix_fmt yuv420p -g $((fps * 2)) \
        -c:a aac -b:a "$abr" -ac 2 -shortest "$path.tmp.mp4"
    mv "$path.tmp.mp4" "$path"
}
