#!/usr/bin/env python3
"""Holds idle connections open on a server until stdin closes.

For each of N connections per kind it leaves the server waiting:
  stream-answered  a describe of NAME, answered, then nothing
  stream-silent    connected, nothing sent
  http-answered    a whole GET of /NAME, answered to its end, then nothing
  http-half        the first line of a request, never finished
Prints "ready COUNT" once every connection is in its state.

usage: bench/hold-idle.py --stream-port P --http-port P --name NAME
                          --each N [--kinds k1,k2,...]
"""
import argparse
import socket
import struct
import sys

from fetch import PKG_DESCRIBE, frame

KINDS = ("stream-answered", "stream-silent", "http-answered", "http-half")


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_until(s, done):
    data = b""
    while not done(data):
        got = s.recv(1 << 16)
        if not got:
            raise SystemExit("server closed a connection")
        data += got
    return data


def http_whole(data):
    end = data.find(b"\r\n\r\n")
    if end < 0:
        return False
    for line in data[:end].split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            return len(data) >= end + 4 + int(line.split(b":")[1])
    return True


def hold(kind, a):
    if kind.startswith("stream"):
        s = connect(a.stream_port)
        if kind == "stream-answered":
            name = a.name.encode()
            s.sendall(frame(PKG_DESCRIBE, struct.pack(">IB", 0, len(name)) + name))
            read_until(s, lambda d: len(d) >= 8 and len(d) >= struct.unpack_from(">I", d, 4)[0])
        return s
    s = connect(a.http_port)
    if kind == "http-answered":
        s.sendall(f"GET /{a.name} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        read_until(s, http_whole)
    else:
        s.sendall(f"GET /{a.name} HTTP/1.1\r\n".encode())
    return s


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--stream-port", type=int, default=8888)
    ap.add_argument("--http-port", type=int, default=2888)
    ap.add_argument("--name", required=True)
    ap.add_argument("--each", type=int, default=75)
    ap.add_argument("--kinds", default=",".join(KINDS))
    a = ap.parse_args()
    held = [hold(kind, a) for kind in a.kinds.split(",") for _ in range(a.each)]
    print(f"ready {len(held)}", flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()
