#!/bin/bash
# Back-to-back connect/close cycles against sivo-server's two TCP listeners
# (stream 8888, HTTP 2888) and, as the peer in the same run, nginx: total
# time of CYCLES cycles, the slowest connect and how many took over 100 ms
# (a SYN retransmit shows up as a connect of about 1 s).
#
# usage: bench/connect.sh BUILD_DIR [CYCLES]   (needs ports 2888, 8888, 2000/udp, 18082 free)
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 2 "BUILD_DIR [CYCLES]" "$@"
CYCLES=${2:-1000}
SERVER="$BUILD/bin/sivo-server"
NGINX_PORT=18082
START_LIMIT_S=10

require_tools python3
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
require_tools "$NGINX"
require_bins "$SERVER"
bench_workdir

port_open() { # port
    python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1)' "$1" 2>/dev/null
}
for port in 8888 2888 $NGINX_PORT; do
    if port_open "$port"; then
        echo "$0: port $port is already in use" >&2
        exit 1
    fi
done

mkdir -p "$WORK/share" "$WORK/nginx"
cat >"$WORK/nginx/nginx.conf" <<CONF
worker_processes 2;
error_log $WORK/nginx/error.log;
pid $WORK/nginx/nginx.pid;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $WORK/nginx/body;
    proxy_temp_path $WORK/nginx/proxy;
    fastcgi_temp_path $WORK/nginx/fastcgi;
    uwsgi_temp_path $WORK/nginx/uwsgi;
    scgi_temp_path $WORK/nginx/scgi;
    server {
        listen 127.0.0.1:$NGINX_PORT;
        root $WORK/share;
    }
}
CONF
"$SERVER" --share-root "$WORK/share" >"$WORK/sivo.log" 2>&1 &
SIVO_PID=$!
BENCH_PIDS+=($SIVO_PID)
"$NGINX" -e "$WORK/nginx/error.log" -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -g 'daemon off;' \
    >"$WORK/nginx.log" 2>&1 &
BENCH_PIDS+=($!)
for port in 8888 2888 $NGINX_PORT; do
    deadline=$((SECONDS + START_LIMIT_S))
    until port_open "$port"; do
        [ $SECONDS -lt $deadline ] || { echo "$0: nothing listens on port $port" >&2; exit 1; }
        sleep 0.1
    done
done

python3 - "$CYCLES" 8888 2888 $NGINX_PORT <<'PY'
import socket, sys, time
cycles, ports = int(sys.argv[1]), [int(p) for p in sys.argv[2:]]
names = {8888: "sivo stream 8888", 2888: "sivo http 2888"}
print(f"{'listener':22}{'cycles':>8}{'total s':>10}{'max ms':>10}{'>100 ms':>9}")
for port in ports:
    slowest, slow = 0.0, 0
    start = time.perf_counter()
    for _ in range(cycles):
        t = time.perf_counter()
        s = socket.create_connection(("127.0.0.1", port), 10)
        ms = (time.perf_counter() - t) * 1000
        s.close()
        slowest = max(slowest, ms)
        slow += ms > 100
    total = time.perf_counter() - start
    print(f"{names.get(port, f'nginx {port} (peer)'):22}{cycles:>8}{total:>10.3f}{slowest:>10.2f}{slow:>9}")
PY
kill -0 "$SIVO_PID" 2>/dev/null || { echo "$0: sivo-server ended: $(cat "$WORK/sivo.log")" >&2; exit 1; }
