#!/usr/bin/env python3
"""The relay dialog's pictures for its Windows resources, drawn here as the Qt dialog draws its own:
application icon 128, link icons 140 (no link) and 141 (link up), the dialog's bitmap 158 and the
about box's bitmaps 151 and 136.

    make_artwork.py OUTPUT_FOLDER
"""
import os
import struct
import sys


def canvas(w, h, colour):
    return [[colour for _ in range(w)] for _ in range(h)]


def disc(pixels, cx, cy, r, colour):
    for y, row in enumerate(pixels):
        for x in range(len(row)):
            if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                row[x] = colour


def rect(pixels, x0, y0, x1, y1, colour):
    for y in range(max(0, y0), min(len(pixels), y1)):
        for x in range(max(0, x0), min(len(pixels[0]), x1)):
            pixels[y][x] = colour


def robot(size, background):
    """A small robot: a head with two eyes on a body with two wheels."""
    p = canvas(size, size, background)
    s = size / 32.0
    body, dark, wheel = (52, 101, 164, 255), (255, 255, 255, 255), (46, 52, 54, 255)
    rect(p, int(8 * s), int(4 * s), int(24 * s), int(14 * s), body)
    rect(p, int(11 * s), int(7 * s), int(14 * s), int(10 * s), dark)
    rect(p, int(18 * s), int(7 * s), int(21 * s), int(10 * s), dark)
    rect(p, int(5 * s), int(15 * s), int(27 * s), int(25 * s), body)
    disc(p, 9 * s, 27 * s, 3.5 * s, wheel)
    disc(p, 23 * s, 27 * s, 3.5 * s, wheel)
    return p


def link_icon(up):
    """A signal: a mast with waves, green when the robot answers, grey crossed out when not."""
    p = canvas(32, 32, (0, 0, 0, 0))
    colour = (78, 154, 6, 255) if up else (136, 138, 133, 255)
    rect(p, 15, 12, 17, 30, colour)
    for r in (6, 10, 14):
        for y in range(32):
            for x in range(32):
                d = ((x - 16) ** 2 + (y - 12) ** 2) ** 0.5
                if abs(d - r) < 1.0 and y < 12:
                    p[y][x] = colour
    if not up:
        for i in range(4, 28):
            rect(p, i, i, i + 2, i + 1, (204, 0, 0, 255))
    return p


def bmp(pixels):
    h, w = len(pixels), len(pixels[0])
    stride = (w * 3 + 3) & ~3
    data = b"".join(bytes(c for px in row for c in (px[2], px[1], px[0])).ljust(stride, b"\0")
                    for row in reversed(pixels))
    return (b"BM" + struct.pack("<IHHI", 54 + len(data), 0, 0, 54) +
            struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0) + data)


def ico(pixels):
    h, w = len(pixels), len(pixels[0])
    xor = b"".join(bytes(c for px in row for c in (px[2], px[1], px[0], px[3])) for row in reversed(pixels))
    mask_stride = ((w + 31) // 32) * 4
    mask = b""
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    image = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0) + xor + mask
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", w, h, 0, 0, 1, 32, len(image), 22) + image


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    files = {
        "trevask.ico": ico(robot(32, (0, 0, 0, 0))),
        "link_down.ico": ico(link_icon(False)),
        "link_up.ico": ico(link_icon(True)),
        "badge.bmp": bmp(robot(32, (212, 208, 200, 255))),
    }
    banner = canvas(350, 64, (52, 101, 164, 255))
    for i, x in enumerate(range(10, 350, 70)):
        small = robot(48, (52, 101, 164, 255))
        for y in range(48):
            for dx in range(48):
                if 8 + y < 64 and x + dx < 350:
                    banner[8 + y][x + dx] = small[y][dx]
    files["banner.bmp"] = bmp(banner)
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
