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
NGINX_PORT=18082
START_LIMIT_S=10

require_tools python3
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
require_tools "$NGINX"
require_bins "$SERVER"
bench_workdir

require_free_ports 8888 2888 $NGINX_PORT

mkdir -p "$WORK/share"
write_nginx_conf "$WORK/nginx" "$NGINX_PORT" "$WORK/share"
"$SERVER" --share-root "$WORK/share" >"$WORK/sivo.log" 2>&1 &
SIVO_PID=$!
BENCH_PIDS+=($SIVO_PID)
start_nginx "$NGINX" "$WORK/nginx"
for port in 8888 2888 $NGINX_PORT; do
    wait_port "$port"
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
