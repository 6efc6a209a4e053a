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

# small_clip DIR: the 240p 25 fps two-minute clip of the many-connection
# benches, made once in DIR; its name in CLIP_NAME, its rate and length in
# CLIP_FPS and CLIP_S.
small_clip() {
    CLIP_FPS=25
    CLIP_S=120
    CLIP_NAME="small-240p${CLIP_FPS}-${CLIP_S}s.mp4"
    make_clip "$1/$CLIP_NAME" 320x240 "$CLIP_FPS" "$CLIP_S" 44100 ultrafast 64k
}

# bench_build MAX_ARGS USAGE ARGS...: BUILD from the first argument, which
# must be an existing directory (made absolute); anything else exits 2. Sets
# the paths every script uses: the executables (PLAYER, SERVER, WINDOW), the
# cached media (MEDIA_DIR) and this directory (HERE).
bench_build() {
    local max=$1 usage=$2
    shift 2
    if [ $# -lt 1 ] || [ $# -gt "$max" ] || [ ! -d "$1" ]; then
        echo "usage: $0 $usage" >&2
        exit 2
    fi
    BUILD=$(cd "$1" && pwd)
    PLAYER="$BUILD/bin/sivo-play"
    SERVER="$BUILD/bin/sivo-server"
    WINDOW="$BUILD/bin/sivo"
    MEDIA_DIR="$BUILD/benchmedia"
    HERE=$(cd "$(dirname "$0")" && pwd)
}

# bench_workdir: a private temp dir in WORK. At exit every process in
# BENCH_PIDS is sent TERM and waited for, then WORK is removed.
BENCH_PIDS=()
bench_workdir() {
    WORK=$(mktemp -d)
    trap bench_cleanup EXIT
}
bench_cleanup() {
    local pid
    for pid in "${BENCH_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${BENCH_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$WORK"
}

# run NAME CMD...: runs CMD under /usr/bin/time within RUN_LIMIT_S seconds,
# leaving "user sys maxrss_kb" (or the fields of TIME_FORMAT) in
# $WORK/NAME.time and its stdout in
# $WORK/NAME.out; a failure ends the benchmark.
run() {
    local name=$1
    shift
    echo "running $name ..." >&2
    if ! timeout "$RUN_LIMIT_S" /usr/bin/time -f "${TIME_FORMAT:-%U %S %M}" -o "$WORK/$name.time" \
            "$@" >"$WORK/$name.out" 2>"$WORK/$name.err"; then
        echo "$0: $name failed:" >&2
        tail -5 "$WORK/$name.err" >&2
        exit 1
    fi
}

# port_open PORT: something accepts connections on 127.0.0.1:PORT.
port_open() {
    python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$1" 2>/dev/null
}

# require_free_ports PORT...: a server left by someone else on one of these
# ports would be measured instead; exits when one is taken.
require_free_ports() {
    local port
    for port in "$@"; do
        if port_open "$port"; then
            echo "$0: port $port is already in use" >&2
            exit 1
        fi
    done
}

# wait_port PORT: waits up to START_LIMIT_S seconds for a listener on PORT.
wait_port() {
    local deadline=$((SECONDS + START_LIMIT_S))
    until port_open "$1"; do
        [ $SECONDS -lt $deadline ] || { echo "$0: nothing listens on port $1" >&2; exit 1; }
        sleep 0.1
    done
}

# start_share_server DIR [CWD]: sivo-server sharing DIR, run from CWD
# (default DIR; stream names open relative to it), stderr in
# $WORK/server.err, its pid in SERVER_PID; waits up to START_LIMIT_S
# seconds (default 10) for port 8888 and exits if the server dies first.
start_share_server() {
    local dir=$1 cwd=${2:-$1} deadline
    (cd "$cwd" && exec "$SERVER" --share-root "$dir") >"$WORK/server.err" 2>&1 &
    SERVER_PID=$!
    BENCH_PIDS+=($SERVER_PID)
    deadline=$((SECONDS + ${START_LIMIT_S:-10}))
    until port_open 8888; do
        if ! kill -0 "$SERVER_PID" 2>/dev/null; then
            echo "$0: sivo-server exited:" >&2
            cat "$WORK/server.err" >&2
            exit 1
        fi
        [ $SECONDS -lt $deadline ] || { echo "$0: sivo-server did not listen on 8888" >&2; exit 1; }
        sleep 0.1
    done
}
# server_ticks: the CPU clock ticks SERVER_PID has used so far.
server_ticks() { awk '{print $14 + $15}' "/proc/$SERVER_PID/stat"; }

# write_lighttpd_conf FILE PORT ROOT [LINE...]: a private lighttpd config
# serving ROOT on 127.0.0.1:PORT, with LINEs added; errors beside FILE.
write_lighttpd_conf() {
    local file=$1 port=$2 root=$3
    shift 3
    {
        echo "server.document-root = \"$root\""
        echo 'server.bind = "127.0.0.1"'
        echo "server.port = $port"
        echo "server.errorlog = \"$file.err\""
        echo "server.max-connections = 1024"
        echo 'mimetype.assign = ( "" => "application/octet-stream" )'
        printf '%s\n' "$@"
    } >"$file"
}

# write_nginx_conf DIR PORT ROOT: a private nginx config in DIR/nginx.conf
# serving ROOT on 127.0.0.1:PORT as the current user.
write_nginx_conf() {
    local dir=$1 port=$2 root=$3
    mkdir -p "$dir"
    cat >"$dir/nginx.conf" <<CONF
worker_processes 2;
error_log $dir/error.log;
pid $dir/nginx.pid;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    server {
        listen 127.0.0.1:$port;
        root $root;
    }
}
CONF
}

# start_nginx NGINX DIR: runs NGINX in the foreground on DIR/nginx.conf,
# stopped with the benchmark.
start_nginx() {
    "$1" -e "$2/error.log" -p "$2" -c "$2/nginx.conf" -g 'daemon off;' >"$2/out.log" 2>&1 &
    BENCH_PIDS+=($!)
}
