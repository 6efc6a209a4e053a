#!/bin/bash
# Catalogue answer over UDP control: sivo-server shares a directory of 1000
# small .mp4 files; a client sends "getsharefiles:" (with a word after it, as a lone command
# word gets no answer) and counts the
# "result:getsharefiles" datagrams and how long they take to arrive. The
# server paces the answer (one datagram per pause), so about 5 s is expected.
# Then a burst: 300 catalogue requests from another port within about a
# third of a second, and a server information request behind them: the time
# until that is answered (target: under 50 ms) and how many catalogue
# datagrams the burst brought (one catalogue, and one more for the requests
# that came while it was under way: at most 2000).
#
# usage: bench/udp-catalogue.sh BUILD_DIR   (needs ports 2000/udp, 2888, 8888 free)
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 1 "BUILD_DIR" "$@"
FILES=1000
UDP_PORT=2000
QUIET_LIMIT_S=3
START_LIMIT_S=10

require_tools python3
require_bins "$SERVER"

bench_workdir
SERVER_PID=

mkdir "$WORK/share"
for i in $(seq -w 1 "$FILES"); do
    printf 'clip %s\n' "$i" >"$WORK/share/clip$i.mp4"
done

# A server left by someone else on these ports would answer instead.
if ss -Hlnu "sport = :$UDP_PORT" | grep -q .; then
    echo "$0: UDP port $UDP_PORT is already in use" >&2
    exit 1
fi
"$SERVER" --share-root "$WORK/share" >"$WORK/server.log" 2>&1 &
SERVER_PID=$!
BENCH_PIDS+=($SERVER_PID)

python3 - "$UDP_PORT" "$FILES" "$QUIET_LIMIT_S" "$START_LIMIT_S" <<'PYEOF'
import socket, sys, time
port, expected, quiet, start_limit = (int(a) for a in sys.argv[1:5])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
s.bind(("127.0.0.1", 0))

# Wait until the server answers at all (server info request).
deadline = time.monotonic() + start_limit
s.settimeout(0.2)
while True:
    s.sendto(b"req:getsvrinfo bench", ("127.0.0.1", port))
    try:
        data, _ = s.recvfrom(2048)
        if data.startswith(b"result:getsvrinfo"):
            break
    except socket.timeout:
        pass
    if time.monotonic() > deadline:
        sys.exit("no answer on UDP port %d (is the control socket wired into sivo-server?)" % port)

names = set()
count = 0
other = 0
t0 = time.monotonic()
s.sendto(b"getsharefiles: bench", ("127.0.0.1", port))
first = last = None
s.settimeout(quiet)
while True:
    try:
        data, _ = s.recvfrom(2048)
    except socket.timeout:
        break
    now = time.monotonic()
    if not data.startswith(b"result:getsharefiles"):
        other += 1
        continue
    count += 1
    first = first or now
    last = now
    names.add(data)
if count == 0:
    sys.exit("no catalogue datagram within %d s" % quiet)
print("datagrams: %d (expected %d, distinct %d, other %d)" % (count, expected, len(names), other))
print("first after %.3f s, last after %.3f s, %.0f datagrams/s"
      % (first - t0, last - t0, count / max(last - t0, 1e-9)))
ok = count == expected

b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
b.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
b.bind(("127.0.0.1", 0))
for _ in range(300):
    b.sendto(b"getsharefiles: burst", ("127.0.0.1", port))
    time.sleep(0.001)
t0 = time.monotonic()
b.sendto(b"req:getsvrinfo burst", ("127.0.0.1", port))
answered = None
entries = 0
b.settimeout(quiet)
while True:
    try:
        data, _ = b.recvfrom(2048)
    except socket.timeout:
        break
    if data.startswith(b"result:getsvrinfo") and answered is None:
        answered = time.monotonic() - t0
    entries += data.startswith(b"result:getsharefiles")
if answered is None:
    print("burst: server information never answered")
    ok = False
else:
    print("burst: server information answered after %.1f ms (target < 50 ms); %d catalogue datagrams for 300 requests"
          % (answered * 1000, entries))
    ok = ok and answered < 0.05 and entries <= 2 * expected
sys.exit(0 if ok else 1)
PYEOF
