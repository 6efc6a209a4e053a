#!/usr/bin/env python3
"""Writes the dark skin images under skin/ (PNG, plus the caption icon as ICO),
each once more at twice the size as NAME@2x.EXT for screens scaled by two.

Usage: tools/make-skin.py [SKIN_DIR]   (default: skin/ beside tools/)
Only the standard library: PNGs are written with zlib and struct.
"""
import os
import struct
import sys
import zlib

BG = (0x1e, 0x20, 0x24, 255)
BAND = (0x2a, 0x2d, 0x33, 255)
EDGE = (0x3a, 0x3e, 0x46, 255)
FG = (0xd8, 0xdc, 0xe2, 255)
ACCENT = (0x3d, 0x8b, 0xfd, 255)
DOWN = (0x22, 0x5f, 0xc0, 255)
CLEAR = (0, 0, 0, 0)


class Canvas:
    """An image w x h in logical pixels, each `scale` x `scale` device pixels.
    Coordinates are logical; rectangles cover whole logical pixels, while
    curves and slopes are drawn at the device pixels, so a 2x image has
    finer edges rather than doubled ones."""

    def __init__(self, w, h, fill=CLEAR, scale=1):
        self.s = scale
        self.w, self.h = w * scale, h * scale
        self.px = [[fill] * self.w for _ in range(self.h)]

    def device_rect(self, x0, y0, x1, y1, c):
        for y in range(max(0, y0), min(self.h, y1)):
            for x in range(max(0, x0), min(self.w, x1)):
                self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):
        s = self.s
        self.device_rect(x0 * s, y0 * s, x1 * s, y1 * s, c)

    def rounded(self, c, r=6):
        r *= self.s
        for y in range(self.h):
            for x in range(self.w):
                dx = max(r - x, x - (self.w - 1 - r), 0)
                dy = max(r - y, y - (self.h - 1 - r), 0)
                if dx * dx + dy * dy <= r * r:
                    self.px[y][x] = c

    def triangle_right(self, cx, cy, size, c):
        cx, cy, size = cx * self.s, cy * self.s, size * self.s
        for y in range(-size, size + 1):
            span = size - abs(y)
            self.device_rect(cx - size // 2, cy + y, cx - size // 2 + span + 1, cy + y + 1, c)

    def triangle_left(self, cx, cy, size, c):
        cx, cy, size = cx * self.s, cy * self.s, size * self.s
        for y in range(-size, size + 1):
            span = size - abs(y)
            self.device_rect(cx + size // 2 - span, cy + y, cx + size // 2 + 1, cy + y + 1, c)

    def slope(self, x, y, length, rise, c):
        """A line one logical pixel thick from (x, y), `length` pixels to the
        right, rising `rise` pixels over them (negative: falling)."""
        s = self.s
        for i in range(length * s):
            step = (i * abs(rise)) // length
            dy = -step if rise > 0 else step
            self.device_rect(x * s + i, y * s + dy, x * s + i + 1, y * s + dy + s, c)

    def png(self):
        raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in self.px)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

        return (b"\x89PNG\r\n\x1a\n"
                + chunk(b"IHDR", struct.pack(">IIBBBBB", self.w, self.h, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9))
                + chunk(b"IEND", b""))

    def ico(self):
        # One 32-bit BMP image with its AND mask, bottom-up rows.
        xor = b"".join(bytes(v for p in row for v in (p[2], p[1], p[0], p[3])) for row in reversed(self.px))
        mask_row = ((self.w + 31) // 32) * 4
        mask = b"\0" * (mask_row * self.h)
        header = struct.pack("<IiiHHIIiiII", 40, self.w, self.h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        image = header + xor + mask
        return (struct.pack("<HHH", 0, 1, 1)
                + struct.pack("<BBBBHHII", self.w, self.h, 0, 0, 1, 32, len(image), 22)
                + image)


def button(w, h, pressed, glyph, scale):
    c = Canvas(w, h, scale=scale)
    c.rounded(DOWN if pressed else BAND, 8)
    glyph(c, w // 2, h // 2, ACCENT if not pressed else FG)
    return c


def glyph_stop(c, cx, cy, col):
    c.rect(cx - 9, cy - 9, cx + 9, cy + 9, col)


def glyph_play(c, cx, cy, col):
    c.triangle_right(cx + 2, cy, 14, col)


def glyph_pause(c, cx, cy, col):
    c.rect(cx - 10, cy - 13, cx - 3, cy + 13, col)
    c.rect(cx + 3, cy - 13, cx + 10, cy + 13, col)


def glyph_prev(c, cx, cy, col):
    c.rect(cx - 14, cy - 10, cx - 10, cy + 10, col)
    c.triangle_left(cx, cy, 10, col)


def glyph_next(c, cx, cy, col):
    c.triangle_right(cx, cy, 10, col)
    c.rect(cx + 10, cy - 10, cx + 14, cy + 10, col)


def glyph_open(c, cx, cy, col):
    c.rect(cx - 16, cy - 8, cx + 16, cy + 12, col)
    c.rect(cx - 16, cy - 12, cx - 4, cy - 8, col)


def glyph_audio(c, cx, cy, col):
    c.rect(cx - 9, cy - 4, cx - 4, cy + 4, col)
    c.triangle_left(cx, cy, 7, col)
    c.rect(cx + 5, cy - 6, cx + 7, cy + 6, col)


def glyph_share(c, cx, cy, col):
    for dx, dy in ((-8, 0), (7, -8), (7, 8)):
        c.rect(cx + dx - 3, cy + dy - 3, cx + dx + 4, cy + dy + 4, col)
    c.slope(cx - 8, cy, 15, 8, col)
    c.slope(cx - 8, cy, 15, -8, col)


def glyph_max(c, cx, cy, col):
    c.rect(cx - 6, cy - 5, cx + 6, cy - 3, col)
    c.rect(cx - 6, cy - 5, cx - 5, cy + 6, col)
    c.rect(cx + 5, cy - 5, cx + 6, cy + 6, col)
    c.rect(cx - 6, cy + 5, cx + 6, cy + 6, col)


def skin(scale):
    """The skin's images at `scale`, by file name, and the caption icon."""
    files = {}

    def canvas(w, h, fill=CLEAR):
        return Canvas(w, h, fill, scale)

    # Frame: T = 32 (top band), B = 80 (bottom band), side edges 2 px each.
    top = canvas(2, 32, BAND); top.rect(0, 31, 2, 32, EDGE)
    files["main/bg-top-mid.png"] = top
    tl = canvas(8, 32, BAND); tl.rect(0, 0, 1, 32, EDGE); tl.rect(0, 0, 8, 1, EDGE); tl.rect(0, 31, 8, 32, EDGE)
    files["main/bg-top-left.png"] = tl
    tr = canvas(8, 32, BAND); tr.rect(7, 0, 8, 32, EDGE); tr.rect(0, 0, 8, 1, EDGE); tr.rect(0, 31, 8, 32, EDGE)
    files["main/bg-top-right.png"] = tr
    left = canvas(2, 2, BAND); left.rect(0, 0, 1, 2, EDGE)
    files["main/bg-left.png"] = left
    right = canvas(2, 2, BAND); right.rect(1, 0, 2, 2, EDGE)
    files["main/bg-right.png"] = right
    bm = canvas(2, 80, BAND); bm.rect(0, 0, 2, 1, EDGE); bm.rect(0, 79, 2, 80, EDGE)
    files["main/bg-bottom-mid.png"] = bm
    bl = canvas(8, 80, BAND); bl.rect(0, 0, 1, 80, EDGE); bl.rect(0, 0, 8, 1, EDGE); bl.rect(0, 79, 8, 80, EDGE)
    files["main/bg-bottom-left.png"] = bl
    br = canvas(8, 80, BAND); br.rect(7, 0, 8, 80, EDGE); br.rect(0, 0, 8, 1, EDGE); br.rect(0, 79, 8, 80, EDGE)
    files["main/bg-bottom-right.png"] = br
    files["main/bg-color.png"] = canvas(2, 2, BG)

    for name, w, h, pressed, glyph in (
            ("button-stop-normal", 148, 59, False, glyph_stop), ("button-stop-down", 148, 59, True, glyph_stop),
            ("button-pro-normal", 110, 59, False, glyph_prev), ("button-pro-down", 110, 59, True, glyph_prev),
            ("button-next-normal", 110, 59, False, glyph_next), ("button-next-down", 110, 59, True, glyph_next),
            ("button-play-normal", 72, 69, False, glyph_play), ("button-pause-down", 72, 69, True, glyph_pause),
            ("button-file-open", 148, 59, False, glyph_open),
            ("button-audio-normal", 31, 22, False, glyph_audio), ("button-audio-down", 31, 22, True, glyph_audio),
            ("button_share_normal", 34, 32, False, glyph_share), ("button_share_down", 34, 32, True, glyph_share)):
        files["main/%s.png" % name] = button(w, h, pressed, glyph, scale)

    files["main/Slider_Forground.png"] = canvas(200, 6, ACCENT)
    files["main/Slider_Background.png"] = canvas(200, 6, EDGE)
    bar = canvas(12, 20); bar.rounded(FG, 4)
    files["main/Slider_Sliderbar.png"] = bar

    for name, pressed, col in (("nomal", False, FG), ("over", False, ACCENT), ("down", True, FG)):
        c = canvas(28, 24)
        c.rounded(DOWN if pressed else BAND, 4)
        glyph_max(c, 14, 12, col)
        files["Common/SysBtn/button-max-%s.png" % name] = c

    ico = canvas(32, 32); ico.rounded(ACCENT, 7); glyph_play(ico, 16, 16, FG)
    return files, ico


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "skin")
    for scale, suffix in ((1, ""), (2, "@2x")):
        files, ico = skin(scale)
        for name, canvas in files.items():
            stem, ext = os.path.splitext(name)
            path = os.path.join(root, stem + suffix + ext)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(canvas.png())
        with open(os.path.join(root, "main", "icoTaskbar" + suffix + ".ico"), "wb") as f:
            f.write(ico.ico())
        if scale == 1:
            with open(os.path.join(root, "sivo.png"), "wb") as f:
                f.write(ico.png())


if __name__ == "__main__":
    main()
