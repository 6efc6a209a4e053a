#!/bin/bash
# Browsing the LAN on a two-host network made of two network namespaces and a
# veth pair: sivo-server shares 1000 small .mp4 files on the far host;
# on the near host `sivo-play --discover` and `sivo-play --list` run against a
# minimal Python client that does the same exchange (broadcast, 1 s window;
# catalogue until 500 ms of quiet). Prints wall times, machines found and
# entries listed (none may be lost) for both, and the ratios sivo/peer.
#
# usage: bench/lan-browse.sh BUILD_DIR   (root: it makes namespaces and a veth pair)
set -euo pipefail
. "$(dirname "$0")/common.sh"

bench_build 1 "BUILD_DIR" "$@"
PLAY="$BUILD/bin/sivo-play"
FILES=1000
ROUNDS=${ROUNDS:-3}
NEAR=10.213.15.1
FAR=10.213.15.2

require_tools python3 ip nsenter unshare
require_bins "$PLAY" "$SERVER"
bench_workdir

mkdir "$WORK/share"
for i in $(seq -w 1 "$FILES"); do
    printf 'clip %s\n' "$i" >"$WORK/share/clip$i.mp4"
done

unshare -n sleep 3600 & NEAR_PID=$!
unshare -n sleep 3600 & FAR_PID=$!
BENCH_PIDS+=($NEAR_PID $FAR_PID)
sleep 0.2
ip link add "lbn$$" type veth peer name "lbf$$" ||
    { echo "$0: cannot make a veth pair (needs root)" >&2; exit 1; }
ip link set "lbn$$" netns $NEAR_PID
ip link set "lbf$$" netns $FAR_PID
nsenter -t $NEAR_PID -n sh -c "ip link set lo up && ip addr add $NEAR/24 brd + dev lbn$$ && ip link set lbn$$ up"
nsenter -t $FAR_PID -n sh -c "ip link set lo up && ip addr add $FAR/24 brd + dev lbf$$ && ip link set lbf$$ up"
nsenter -t $FAR_PID -n "$SERVER" --share-root "$WORK/share" >"$WORK/server.log" 2>&1 &
BENCH_PIDS+=($!)

near() { nsenter -t $NEAR_PID -n "$@"; }
# wall seconds of a command, its stdout in $WORK/last.out
timed() {
    local start end
    start=$(date +%s.%N)
    "$@" >"$WORK/last.out" 2>/dev/null || true
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

# Until the far server answers.
for _ in $(seq 50); do
    near "$PLAY" --discover --seconds 0.3 2>/dev/null | grep -q "$FAR" && break
done

cat >"$WORK/peer.py" <<'PYEOF'
import socket, sys, time
mode, arg = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.bind(("0.0.0.0", 0))
if mode == "discover":
    for target in (arg, "255.255.255.255"):
        try:
            s.sendto(b"req:getsvrinfo peer", (target, 2000))
        except OSError:
            pass
    end = time.monotonic() + 1.0
    found = set()
    while True:
        left = end - time.monotonic()
        if left <= 0:
            break
        s.settimeout(left)
        try:
            data, (addr, port) = s.recvfrom(1024)
        except socket.timeout:
            break
        if port == 2000 and data.split(b" ")[0] == b"result:getsvrinfo":
            found.add(addr)
    for a in sorted(found):
        print(a)
else:
    s.sendto(b"getsharefiles: peer", (arg, 2000))
    s.settimeout(0.5)
    while True:
        try:
            data, (addr, port) = s.recvfrom(8192)
        except socket.timeout:
            break
        if addr == arg and port == 2000 and data.startswith(b"result:getsharefiles "):
            print(data.split(b'"')[1].decode("utf-8", "replace"))
PYEOF

for round in $(seq "$ROUNDS"); do
    t=$(timed near "$PLAY" --discover)
    n=$(grep -c addr "$WORK/last.out" || true)
    tp=$(timed near python3 "$WORK/peer.py" discover "${NEAR%.*}.255")
    np=$(wc -l <"$WORK/last.out")
    printf 'discover  round %d: sivo-play %.3f s (%d machines)  peer %.3f s (%d)  ratio %.2f\n' \
        "$round" "$t" "$n" "$tp" "$np" "$(awk -v a="$t" -v b="$tp" 'BEGIN { print a / b }')"
done
for round in $(seq "$ROUNDS"); do
    t=$(timed near "$PLAY" --list "$FAR")
    n=$(grep -c '"name"' "$WORK/last.out" || true)
    distinct=$(sort -u "$WORK/last.out" | grep -c '"name"' || true)
    tp=$(timed near python3 "$WORK/peer.py" list "$FAR")
    np=$(wc -l <"$WORK/last.out")
    printf 'list      round %d: sivo-play %.3f s (%d entries, %d distinct, of %d)  peer %.3f s (%d)  ratio %.2f\n' \
        "$round" "$t" "$n" "$distinct" "$FILES" "$tp" "$np" "$(awk -v a="$t" -v b="$tp" 'BEGIN { print a / b }')"
    [ "$n" -eq "$FILES" ] || { echo "$0: sivo-play lost entries" >&2; exit 1; }
done
