#!/usr/bin/env python3
"""Draws the Quarvex icon: a folder under a magnifying glass.

Writes quarvex.ico (16, 24, 32 and 48 pixel images in 256 colours with a transparency mask) and
quarvex-<size>.png (true-colour with alpha) for desktop icon themes. Standard library only.

    python3 resources/icon/draw_icon.py [output folder]
"""

import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48)
SUPERSAMPLE = 6

FOLDER_BACK = (214, 151, 38)
FOLDER_FRONT = (247, 196, 72)
FOLDER_EDGE = (160, 104, 20)
LENS_RIM = (36, 64, 112)
LENS_GLASS = (170, 214, 247)
LENS_SHINE = (245, 251, 255)
HANDLE = (52, 52, 60)


def rounded_box(x, y, left, top, right, bottom, radius):
    """Whether (x, y) lies in a box with rounded corners; coordinates in units of the icon."""
    if x < left or x > right or y < top or y > bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def segment_distance(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy))


def colour_at(x, y):
    """The icon's colour at (x, y) in [0, 1) squared, or None where it is transparent.

    Shapes are painted back to front; the first hit from the front wins.
    """
    # Magnifying glass, lower right, in front of everything.
    lens_x, lens_y, lens_r = 0.60, 0.58, 0.22
    d = math.hypot(x - lens_x, y - lens_y)
    if segment_distance(x, y, 0.75, 0.74, 0.94, 0.93) <= 0.065 and d > lens_r - 0.01:
        return HANDLE
    if d <= lens_r:
        if d >= lens_r - 0.055:
            return LENS_RIM
        if math.hypot(x - (lens_x - 0.07), y - (lens_y - 0.07)) <= 0.05:
            return LENS_SHINE
        return LENS_GLASS
    # Folder: front flap, then the back with its tab.
    if rounded_box(x, y, 0.06, 0.34, 0.84, 0.84, 0.05):
        if y > 0.80 or x < 0.10 or x > 0.80 or y < 0.38:
            return FOLDER_EDGE
        return FOLDER_FRONT
    if rounded_box(x, y, 0.06, 0.18, 0.84, 0.50, 0.05) or rounded_box(x, y, 0.06, 0.12, 0.40, 0.30, 0.04):
        return FOLDER_BACK
    return None


def render(size):
    """RGBA rows of the icon at `size` pixels, supersampled for smooth edges."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    c = colour_at((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / (n * n))))
        rows.append(row)
    return rows


def write_png(path, rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def palette_image(rows):
    """Quantises opaque pixels to at most 255 colours (index 0 is the transparent black)."""
    opaque = [px[:3] for row in rows for px in row if px[3] >= 128]
    shift = 0
    while True:
        mask = (0xFF >> shift) << shift
        distinct = sorted({(r & mask, g & mask, b & mask) for r, g, b in opaque})
        if len(distinct) <= 255:
            break
        shift += 1
    half = (1 << shift) >> 1
    palette = [(0, 0, 0)] + [tuple(min(255, v + half) for v in c) for c in distinct]
    index = {c: i + 1 for i, c in enumerate(distinct)}
    pixels = []
    for row in rows:
        pixels.append([index[(px[0] & mask, px[1] & mask, px[2] & mask)] if px[3] >= 128 else 0 for px in row])
    return palette, pixels


def ico_image(rows):
    size = len(rows)
    palette, pixels = palette_image(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    colours = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in palette)
    colours += b"\0\0\0\0" * (256 - len(palette))
    xor_stride = (size + 3) & ~3
    and_stride = ((size + 31) // 32) * 4
    xor = b""
    and_mask = b""
    for y in reversed(range(size)):  # bottom-up
        xor += bytes(pixels[y]) + b"\0" * (xor_stride - size)
        bits = bytearray(and_stride)
        for x in range(size):
            if rows[y][x][3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask += bytes(bits)
    return header + colours + xor + and_mask


def write_ico(path, images):
    data = b""
    directory = b""
    offset = 6 + 16 * len(images)
    for size, rows in images:
        image = ico_image(rows)
        directory += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), offset)
        offset += len(image)
        data += image
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(images)) + directory + data)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    images = [(size, render(size)) for size in SIZES]
    for size, rows in images:
        write_png(os.path.join(out, "quarvex-%d.png" % size), rows)
    write_ico(os.path.join(out, "quarvex.ico"), images)


if __name__ == "__main__":
    main()
