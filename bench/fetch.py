#!/usr/bin/env python3
"""Raw stream client: how many media packages per second one sivo-server
answers to unpaced fetch requests.

Connects to the stream port, describes NAME, then sends fetch requests as
fast as the answers come back, first with one request in flight and then
with WINDOW pipelined. With --seconds it runs that long per mode and, when
the medium is exhausted, describes it again on a fresh connection (counted
in the time); with --once it fetches the medium once to its end. Prints one
line per mode: window, packages, bytes, seconds, packages/s.

The parser works on offsets into one receive buffer, so the client itself
stays far cheaper per package than the server it measures.

usage: bench/fetch.py NAME [--host H] [--port P] [--seconds S | --once]
                           [--window W]
"""
import argparse
import socket
import struct
import time

PKG_DESCRIBE = 1004
PKG_DESCRIBE_RSP = 1005
PKG_FETCH_MEDIA = 1100
PKG_MEDIA = 1101
HEAD = b"\x23\x00\x55\xff"
TAIL = b"\xff\x00"
VERSION = 1
RECV_BUFFER = 8 << 20


def frame(ptype, body):
    n = len(HEAD) + 4 + 1 + 2 + len(body) + len(TAIL)
    return HEAD + struct.pack(">IBH", n, VERSION, ptype) + body + TAIL


FETCH = frame(PKG_FETCH_MEDIA, struct.pack(">I", 0))


class Conn:
    def __init__(self, host, port, name):
        self.s = socket.create_connection((host, port), timeout=10)
        # Our own requests must not wait in Nagle's buffer either.
        self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = bytearray(RECV_BUFFER)
        self.view = memoryview(self.buf)
        self.start = self.end = 0
        self.s.sendall(frame(PKG_DESCRIBE, struct.pack(">IB", 0, len(name)) + name))
        ptype, _ = self.package()
        if ptype != PKG_DESCRIBE_RSP:
            raise SystemExit(f"describe answered with package type {ptype}")

    def package(self):
        """(type, length) of the next package."""
        while True:
            avail = self.end - self.start
            if avail >= 11:
                n = struct.unpack_from(">I", self.buf, self.start + 4)[0]
                if n < 13 or n > RECV_BUFFER:
                    raise SystemExit(f"bad package length {n}")
                if avail >= n:
                    ptype = struct.unpack_from(">H", self.buf, self.start + 9)[0]
                    self.start += n
                    return ptype, n
                if self.start + n > RECV_BUFFER:
                    self.compact()
            elif self.end == RECV_BUFFER:
                self.compact()
            got = self.s.recv_into(self.view[self.end:])
            if not got:
                raise SystemExit("server closed the connection")
            self.end += got

    def compact(self):
        avail = self.end - self.start
        self.buf[:avail] = self.buf[self.start:self.end]
        self.start, self.end = 0, avail

    def close(self):
        self.s.close()


def fetch(conn, window, deadline):
    """Fetches until the end of the medium or the deadline: (count, bytes, exhausted)."""
    count = nbytes = inflight = 0
    exhausted = False
    while inflight or not exhausted:
        want = 0 if exhausted or time.perf_counter() >= deadline else window - inflight
        if want > 0:
            conn.s.sendall(FETCH * want)
            inflight += want
        if not inflight:
            break
        ptype, n = conn.package()
        inflight -= 1
        if ptype == PKG_MEDIA:
            count += 1
            nbytes += n
        else:
            exhausted = True
    return count, nbytes, exhausted


def run(host, port, name, seconds, window):
    total = nbytes = 0
    t0 = time.perf_counter()
    deadline = t0 + seconds
    while time.perf_counter() < deadline:
        c = Conn(host, port, name)
        count, n, exhausted = fetch(c, window, deadline)
        c.close()
        total += count
        nbytes += n
        if not exhausted:
            break
    return total, nbytes, time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("name")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8888)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--once", action="store_true", help="fetch the medium once to its end")
    ap.add_argument("--window", type=int, default=32)
    a = ap.parse_args()
    name = a.name.encode()
    for window in (1, a.window):
        if a.once:
            c = Conn(a.host, a.port, name)
            t0 = time.perf_counter()
            count, nbytes, _ = fetch(c, window, float("inf"))
            dt = time.perf_counter() - t0
            c.close()
        else:
            count, nbytes, dt = run(a.host, a.port, name, a.seconds, window)
        print(f"window {window:>3}: {count:8d} packages {nbytes/1e6:8.1f} MB "
              f"{dt:6.2f} s {count/dt:9.0f} packages/s", flush=True)


if __name__ == "__main__":
    main()
