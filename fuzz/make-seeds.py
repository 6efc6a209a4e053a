#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into OUT/<target>/: small
valid messages of each kind, so the fuzzer starts from the shapes the code
expects instead of finding them byte by byte.

usage: fuzz/make-seeds.py OUT
"""
import os
import struct
import sys

HEAD = b"\x23\x00\x55\xff"
TAIL = b"\xff\x00"
SEEK, DESCRIBE, DESCRIBE_RSP, FETCH, MEDIA, END = 1002, 1004, 1005, 1100, 1101, 1200
WIRE_H264, WIRE_AAC, WIRE_S16 = 28, 0x15002, 1
SHARE = "/tmp/sivo-fuzz-share"  # the fuzz targets' share tree


def frame(ptype, body):
    return HEAD + struct.pack(">IBH", 13 + len(body), 1, ptype) + body + TAIL


def media(video, codec, pts, payload):
    fields = struct.pack(">BIIIIIIIII", video, codec, pts, pts, len(payload), 0, 1, 40, 0, 0)
    return frame(MEDIA, fields + payload)


def description(audio_extra, video_extra):
    audio = struct.pack(">BIIBIIIIIII", 1, WIRE_AAC, 44100, 2, 44100, 1, WIRE_S16, 0, 44100, 1, 0)
    audio = audio[:-4] + struct.pack(">I", len(audio_extra)) + audio_extra
    video = struct.pack(">BIBIIIIIIIII", 1, WIRE_H264, 25, 0, 25, 1, 10, 320, 240, 12800, 1, 0)
    video = video[:-4] + struct.pack(">I", len(video_extra)) + video_extra
    return frame(DESCRIBE_RSP, audio + video)


def packages():
    describe = frame(DESCRIBE, struct.pack(">I", 0) + bytes([9]) + b"clip.mp4\x00")
    return {
        "describe": describe,
        "describe-long": frame(DESCRIBE, struct.pack(">I", 0) + bytes([254]) + b"n" * 254),
        "fetch": frame(FETCH, struct.pack(">I", 0)),
        "seek": frame(SEEK, struct.pack(">I", 7)),
        "end": frame(END, struct.pack(">I", 0)),
        "media-video": media(1, WIRE_H264, 3600, bytes(range(64))),
        "media-audio": media(0, WIRE_AAC, 1024, b"\x21\x10" * 40),
        "description": description(b"\x12\x10", b"\x01\x64\x00\x0d\xff\xe1"),
        "description-bare": description(b"", b""),
    }


def streams(pkgs):
    seq = pkgs["describe"] + pkgs["description"] + pkgs["media-video"] + pkgs["end"]
    return {
        "sequence": seq,
        "garbage-between": b"\x23\x23\x00" + pkgs["fetch"] + b"junk\x23\x00\x55" + pkgs["seek"],
        "header-only": HEAD + struct.pack(">I", 5000),
        "bad-length": HEAD + struct.pack(">I", 3) + pkgs["fetch"],
    }


def udp():
    return {
        "ping": b"Ping: sivo",
        "svrinfo": b"req:getsvrinfo sivo",
        "catalogue": b"getsharefiles: sivo",
        "play": b'raduzira: strFileName="a.mp4" strSrcIP="127.0.0.1" time="0" nSerial="10" ',
        "play-open-quote": b'raduzira: strFileName="a.mp4 strSrcIP=',
        "reply": b"result:getsvrinfo  ip:127.0.0.1 port:1999 ",
        "ack": b"ACK: 1",
        "utf8": "raduzira: strFileName=\"\u00e9t\u00e9.mp4\" strSrcIP=\"1.2.3.4\" ".encode(),
    }


def http():
    def get(path, extra=""):
        return ("GET %s HTTP/1.1\r\nHost: x\r\n%s\r\n" % (path, extra)).encode()
    return {
        "file": get("/a.mp4"),
        "nested": get("/dir/b.mkv"),
        "range": get("/dir/b.mkv", "Range: bytes=12000-\r\n"),
        "range-suffix": get("/a.mp4", "Range: bytes=-100\r\n"),
        "range-past-end": get("/a.mp4", "Range: bytes=99999999-\r\n"),
        "listing": get("/"),
        "dotdot": get("/../secret.mp4"),
        "absolute": get("/" + SHARE + "/share/a.mp4:"),
        "absolute-outside": get("/" + SHARE + "/secret.mp4:"),
        "link": get("/link.mp4"),
        "dir-link": get("/evil/c.mp4"),
        "sibling": get("/../share-evil/c.mp4"),
        "percent": get("/%61.mp4"),
        "head": b"HEAD /a.mp4 HTTP/1.1\r\n\r\n",
        "pipelined": get("/a.mp4") + get("/dir/b.mkv"),
        "half": b"GET /a.mp4 HTTP/1.1\r\nHost:",
    }


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    pkgs = packages()
    seeds = {
        "frame_assembler": {**pkgs, **streams(pkgs)},
        "packages": pkgs,
        "udp_command": udp(),
        "http_connection": http(),
        "http_text": http(),
    }
    for target, inputs in seeds.items():
        os.makedirs(os.path.join(out, target), exist_ok=True)
        for name, data in inputs.items():
            with open(os.path.join(out, target, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
