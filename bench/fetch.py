#!/usr/bin/env python3
"""Raw stream client: how many media packages per second one sivo-server
answers to unpaced fetch requests.

Connects to the stream port, describes NAME, then sends fetch requests as
fast as the answers come back for SECONDS, first with one request in flight
and then with WINDOW pipelined. When the medium is exhausted the client
describes it again on a fresh connection (counted in the time). Prints one
line per mode: window, media packages, bytes, seconds, packages/s.

usage: bench/fetch.py NAME [--host H] [--port P] [--seconds S] [--window W]
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


def frame(ptype, body):
    n = len(HEAD) + 4 + 1 + 2 + len(body) + len(TAIL)
    return HEAD + struct.pack(">IBH", n, VERSION, ptype) + body + TAIL


FETCH = frame(PKG_FETCH_MEDIA, struct.pack(">I", 0))


class Conn:
    def __init__(self, host, port, name):
        self.s = socket.create_connection((host, port), timeout=10)
        # Our own requests must not wait in Nagle's buffer either.
        self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = bytearray()
        self.s.sendall(frame(PKG_DESCRIBE, struct.pack(">IB", 0, len(name)) + name))
        ptype, _ = self.package()
        if ptype != PKG_DESCRIBE_RSP:
            raise SystemExit(f"describe answered with package type {ptype}")

    def package(self):
        while True:
            if len(self.buf) >= 8:
                n = struct.unpack_from(">I", self.buf, 4)[0]
                if n < 13:
                    raise SystemExit(f"bad package length {n}")
                if len(self.buf) >= n:
                    ptype = struct.unpack_from(">H", self.buf, 9)[0]
                    del self.buf[:n]
                    return ptype, n
            chunk = self.s.recv(1 << 20)
            if not chunk:
                raise SystemExit("server closed the connection")
            self.buf += chunk

    def close(self):
        self.s.close()


def run(host, port, name, seconds, window):
    count = nbytes = 0
    t0 = time.perf_counter()
    deadline = t0 + seconds
    while time.perf_counter() < deadline:
        c = Conn(host, port, name)
        inflight = 0
        exhausted = False
        while inflight or not exhausted:
            while not exhausted and inflight < window and time.perf_counter() < deadline:
                c.s.sendall(FETCH)
                inflight += 1
            if not inflight:
                break
            ptype, n = c.package()
            inflight -= 1
            if ptype == PKG_MEDIA:
                count += 1
                nbytes += n
            else:
                exhausted = True
        c.close()
        if not exhausted:
            break
    return count, nbytes, time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("name")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8888)
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--window", type=int, default=16)
    a = ap.parse_args()
    name = a.name.encode()
    for window in (1, a.window):
        count, nbytes, dt = run(a.host, a.port, name, a.seconds, window)
        print(f"window {window:>3}: {count:8d} packages {nbytes/1e6:8.1f} MB "
              f"{dt:6.2f} s {count/dt:9.0f} packages/s", flush=True)


if __name__ == "__main__":
    main()
