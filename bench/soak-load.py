#!/usr/bin/env python3
"""The load of bench/soak.sh against one sivo-server on loopback: paced
stream receivers (one fetch per 40 ms, describing again at the end), HTTP
downloads of random byte ranges and of the listing, connection churn on both
TCP ports, requests that stop half-way and are held open, and UDP control
datagrams; and what hostile peers send: Host names a rebinding page would
send (403 expected), dot files (the listing expected), a name in the share
swapped between a file and a link out while it is downloaded (no byte from
outside may arrive), and bursts of catalogue requests with a server
information request behind them (answered before the catalogue is out).
Every request that expects an answer gets 10 s; one that gets none, or a
short or wrong answer, counts as unanswered. Prints one line per kind and
exits 1 when anything went unanswered.

usage: bench/soak-load.py SHARE_DIR [--seconds S]
"""
import argparse
import collections
import os
import random
import shutil
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fetch import FETCH, PKG_MEDIA, Conn  # noqa: E402

HOST, STREAM, HTTP, UDP = "127.0.0.1", 8888, 2888, 2000
WAIT_S = 10
done = collections.Counter()
unanswered = collections.Counter()
lock = threading.Lock()


def count(kind, ok=True, why=""):
    with lock:
        (done if ok else unanswered)[kind] += 1
    if not ok and unanswered[kind] <= 3:
        print(f"unanswered {kind}: {why}", file=sys.stderr, flush=True)


def receiver(name, deadline):
    while time.time() < deadline:
        try:
            c = Conn(HOST, STREAM, name)
            while time.time() < deadline:
                c.s.sendall(FETCH)
                ptype, _ = c.package()
                count("stream fetch")
                if ptype != PKG_MEDIA:
                    break
                time.sleep(0.04)
            c.close()
        except BaseException as e:  # fetch.py ends with SystemExit on a bad answer
            count("stream fetch", False, repr(e))
            time.sleep(0.5)


def http_get(path, start, host="127.0.0.1"):
    """The body of one answer, checked against its Content-Length."""
    with socket.create_connection((HOST, HTTP), timeout=WAIT_S) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}\r\nRange: bytes={start}-\r\n\r\n".encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                raise EOFError("closed before the header")
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        length = int(head.split(b"Content-Length: ")[1].split(b"\r\n")[0])
        while len(body) < length:
            chunk = s.recv(1 << 20)
            if not chunk:
                raise EOFError(f"closed after {len(body)} of {length} bytes")
            body += chunk
        return head, body


def downloader(size, deadline):
    while time.time() < deadline:
        path, start = random.choice([("/blob.mp4", random.randrange(size)), ("/", 0)])
        try:
            http_get(path, start)
            count("http get")
        except Exception as e:
            count("http get", False, repr(e))


def churn(deadline):
    while time.time() < deadline:
        for port in (STREAM, HTTP):
            try:
                socket.create_connection((HOST, port), timeout=WAIT_S).close()
                count("churn connect")
            except OSError as e:
                count("churn connect", False, repr(e))
        time.sleep(0.05)


def half_sent(deadline):
    held = collections.deque()
    partial = {HTTP: b"GET /blob.mp4 HTTP/1.1\r\nHo", STREAM: b"\x23\x00\x55\xff\x00\x00\x00\x40\x01"}
    while time.time() < deadline:
        for port, data in partial.items():
            try:
                s = socket.create_connection((HOST, port), timeout=WAIT_S)
                s.sendall(data)
                held.append(s)
                count("half-sent request")
            except OSError as e:
                count("half-sent request", False, repr(e))
        while len(held) > 16:
            held.popleft().close()
        time.sleep(0.5)
    for s in held:
        s.close()


FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nServer: lighttpd/1.5.0"


def hostile_http(deadline):
    """Rebinding Host names get 403; dot files get the listing."""
    while time.time() < deadline:
        try:
            head, body = http_get("/blob.mp4", 0, random.choice(["evil.example", "evil.example:2888", ""]))
            count("rebinding host", head == FORBIDDEN and body == b"", repr(head[:60]))
            head, body = http_get(random.choice(["/.hidden.mp4", "/%2Ehidden.mp4", "/sub/../.hidden.mp4"]), 0)
            count("dot file", head.startswith(b"HTTP/1.1 200 \r\nContent-Type: text/html") and b"SECRET" not in body,
                  repr(head[:60]))
        except Exception as e:
            count("rebinding host", False, repr(e))
        time.sleep(0.2)


def swap(share, deadline):
    """swap.bin changes between a file inside and a link out, over and over,
    while it is downloaded: no byte of the outside file may arrive."""
    outside = os.path.join(share, os.pardir, "outside.bin")
    with open(outside, "wb") as f:
        f.write(b"\x01" * 65536)
    with open(os.path.join(share, "inside.bin"), "wb") as f:
        f.write(b"i" * 65536)
    # Not a media name: the catalogue the udp job counts stays as it is.
    name, tmp = os.path.join(share, "swap.bin"), os.path.join(share, "swap.tmp")
    shutil.copyfile(os.path.join(share, "inside.bin"), name)
    stop = threading.Event()

    def swapper():
        i = 0
        while not stop.is_set():
            if i % 2:
                os.symlink(os.path.abspath(outside), tmp)
            else:
                shutil.copyfile(os.path.join(share, "inside.bin"), tmp)
            os.rename(tmp, name)
            i += 1
            time.sleep(0.001)

    t = threading.Thread(target=swapper)
    t.start()
    while time.time() < deadline:
        try:
            _, body = http_get("/swap.bin", 0)
            count("swapped file", b"\x01" not in body, "a byte from outside the share")
        except Exception as e:
            count("swapped file", False, repr(e))
        time.sleep(0.05)
    stop.set()
    t.join()


def catalogue_burst(deadline):
    """Every five seconds twenty catalogue requests and a server information
    request behind them, from one port: the information comes, and whole
    catalogues (two files) come at their pace, fewer than the requests
    (those that come while one is under way are answered by one more)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    while time.time() < deadline:
        for _ in range(20):
            s.sendto(b"getsharefiles: burst", (HOST, UDP))
        s.sendto(b"req:getsvrinfo burst", (HOST, UDP))
        infos = entries = 0
        s.settimeout(WAIT_S)
        try:
            while True:
                got = s.recvfrom(4096)[0]
                infos += got.startswith(b"result:getsvrinfo")
                entries += got.startswith(b"result:getsharefiles")
                s.settimeout(1)
        except socket.timeout:
            pass
        count("udp burst", infos == 1 and entries % 2 == 0 and 0 < entries < 2 * 20,
              f"{infos} information, {entries} catalogue datagrams")
        time.sleep(5)


def udp(deadline):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(WAIT_S)
    n = 0
    while time.time() < deadline:
        n += 1
        s.sendto(b"Ping: soak", (HOST, UDP))
        catalogue = n % 50 == 0
        s.sendto(b"getsharefiles: soak" if catalogue else b"req:getsvrinfo soak", (HOST, UDP))
        want = 2 if catalogue else 1  # two files in the share
        try:
            for _ in range(want):
                s.recvfrom(4096)
            count("udp request")
        except socket.timeout:
            count("udp request", False, "no reply")
        time.sleep(0.1)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("share")
    ap.add_argument("--seconds", type=float, default=600)
    a = ap.parse_args()
    deadline = time.time() + a.seconds
    clip = os.path.join(a.share, "clip.mp4").encode()
    size = os.path.getsize(os.path.join(a.share, "blob.mp4"))
    with open(os.path.join(a.share, ".hidden.mp4"), "wb") as f:
        f.write(b"SECRET")
    jobs = [(receiver, clip)] * 4 + [(downloader, size)] * 2 + [(churn,), (half_sent,), (udp,)]
    jobs += [(hostile_http,), (swap, a.share), (catalogue_burst,)]
    threads = [threading.Thread(target=f, args=(*rest, deadline)) for f, *rest in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for kind in sorted(set(done) | set(unanswered)):
        print(f"{kind:18s} {done[kind]:8d} answered {unanswered[kind]:6d} unanswered")
    return 1 if unanswered else 0


if __name__ == "__main__":
    sys.exit(main())
