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


ASS_HEAD = (
    "[Script Info]\nScriptType: v4.00+\nPlayResX: 384\nPlayResY: 288\nScaledBorderAndShadow: yes\n\n"
    "[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, "
    "Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
    "MarginL, MarginR, MarginV, Encoding\n"
    "Style: Default,DejaVu Sans,20,&H00FFFFFF,&H000000FF,&H00000000,&H80000000,0,0,0,0,100,100,0,0,1,2,1,2,10,10,10,1\n"
    "Style: Sign,DejaVu Sans,32,&H0000FFFF,&H000000FF,&H00000000,&H00000000,1,0,0,0,120,100,2,5,3,4,0,8,10,10,10,1\n"
    "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n")


def pgs(sets, canvas=(720, 576)):
    """A Blu-ray subtitle stream: per (start, end, x, y, w, h) a set of one
    colour, and an empty set at its end."""
    out = b""

    def segment(at, kind, body):
        nonlocal out
        out += b"PG" + struct.pack(">IIBH", int(at * 90000), 0, kind, len(body)) + body

    number = 0
    for start, end, x, y, w, h in sets:
        for shown in (True, False):
            at = start if shown else end
            comp = struct.pack(">HHBHBHB", canvas[0], canvas[1], 0x10, number, 0x80 if shown else 0, 0,
                               1 if shown else 0)
            number += 1
            if shown:
                comp += struct.pack(">HHHH", 0, 0, x, y)
            segment(at, 0x16, comp)
            segment(at, 0x17, struct.pack(">HHHHH", 1, x, y, w, h))
            if shown:
                segment(at, 0x14, struct.pack(">HBBBBB", 0, 1, 81, 90, 240, 255))
                lines = b"".join(struct.pack(">BHBH", 0, 0xC000 | w, 1, 0) for _ in range(h))
                segment(at, 0x15, struct.pack(">HBB", 0, 0, 0xC0) + (len(lines) + 4).to_bytes(3, "big")
                        + struct.pack(">HH", w, h) + lines)
            segment(at, 0x80, b"")
    return out


def subtitles():
    """Subtitle files, the first byte naming the extension: .srt .ass .ssa
    .vtt .sub .txt .sup."""
    srt, ass, ssa, vtt, sub, txt, sup = (bytes([i]) for i in range(7))
    dialogue = lambda a, b, text: "Dialogue: 0,0:00:%05.2f,0:00:%05.2f,Default,,0,0,0,,%s\n" % (a, b, text)
    return {
        "srt": srt + b"1\n00:00:01,000 --> 00:00:02,500\nHello <i>world</i>\n\n"
                     b"2\n00:00:02,000 --> 00:00:04,000\n{\\an8}Two\nlines\n\n",
        "srt-odd-times": srt + b"1\n00:00:06,000 --> 00:00:05,000\nback\n\n2\n00:00:-3,000 --> 00:00:00,500\nneg\n\n",
        "srt-cp1251": srt + b"1\n00:00:01,000 --> 00:00:02,000\n\xcf\xf0\xe8\xe2\xe5\xf2\n\n",
        "srt-utf16": srt + "\ufeff1\n00:00:01,000 --> 00:00:02,000\nÜber\n\n".encode("utf-16-le"),
        "ass-tags": ass + (ASS_HEAD + dialogue(1, 3, r"{\fs40\bord3\blur2\be1\fax0.2\frz10}Styled {\r}plain")
                           + dialogue(1, 3, r"{\k20}ka{\k30}ra{\kf40}o{\ko10}ke")
                           + dialogue(1.5, 3, r"{\t(0,500,\fs60\fscx150)\pos(100,100)}Grow")
                           + dialogue(2, 4, r"{\clip(1,m 0 0 l 100 0 100 50 0 50)\p1\bord2}m 0 0 l 80 0 80 40 0 40{\p0}")
                           + dialogue(2, 4, r"{\iclip(10,10,200,100)\rSign\fs+5\move(0,0,300,200)}Sign")
                           + dialogue(3, 5, r"{\fn DejaVu Serif\1c&H00FF00&\3a&H80&\fad(200,200)}Fading")).encode(),
        "ssa": ssa + (ASS_HEAD.replace("v4.00+", "v4.00").replace("[V4+ Styles]", "[V4 Styles]")
                      + dialogue(1, 2, "SSA line")).encode(),
        "vtt": vtt + b"WEBVTT\n\n00:00:01.000 --> 00:00:02.000 line:0 position:20%\n<b>Bold</b> text\n\n"
                     b"00:00:02.500 --> 00:00:03.000\n<c.yellow>Yellow</c>\n",
        "microdvd": sub + b"{25}{50}Hello|World\n{60}{90}{y:i}Italic\n{100}{120}Third\n",
        "mpl2": txt + b"[10][20]First\n[25][40]/Second|line\n[50][60]Third\n",
        "sami": txt + b"<SAMI><BODY><SYNC Start=1000><P Class=ENCC>Hello<SYNC Start=2000><P>&nbsp;</BODY></SAMI>\n",
        "sup": sup + pgs([(1.0, 2.0, 100, 400, 64, 16), (3.0, 4.0, 10, 10, 20, 30)]),
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
        "subtitle_file": subtitles(),
    }
    for target, inputs in seeds.items():
        os.makedirs(os.path.join(out, target), exist_ok=True)
        for name, data in inputs.items():
            with open(os.path.join(out, target, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
