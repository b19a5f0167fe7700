#!/usr/bin/env python3
"""Draws the tool's icon (brevlo.ico): a blue tile with a white arrow going down into a tray,
the pack going into the product. 16, 32 and 48 pixels, 32-bit colour with alpha.

Run from the repository root: python3 app/make_icon.py app/brevlo.ico
"""
import struct
import sys


def inside_round_rect(x, y, size, radius):
    lo, hi = radius, size - radius
    cx = min(max(x, lo), hi)
    cy = min(max(y, lo), hi)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def coverage(size, shape, samples=4):
    """Anti-aliased coverage of `shape(x, y)` (coordinates in 0..1) for each pixel."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hit = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / size
                    y = (py + (sy + 0.5) / samples) / size
                    hit += shape(x, y)
            row.append(hit / (samples * samples))
        rows.append(row)
    return rows


def tile(x, y):
    return inside_round_rect(x, y, 1.0, 0.2)


def arrow(x, y):
    shaft = 0.42 <= x <= 0.58 and 0.16 <= y <= 0.48
    head = 0.46 <= y <= 0.68 and abs(x - 0.5) <= (0.68 - y) * 1.1
    tray = (0.76 <= y <= 0.84 and 0.2 <= x <= 0.8) or (0.6 <= y <= 0.84 and (0.2 <= x <= 0.28 or 0.72 <= x <= 0.8))
    return shaft or head or tray


def image(size):
    back = coverage(size, tile)
    fore = coverage(size, arrow)
    top, bottom = (0x3A, 0x8D, 0xF0), (0x1F, 0x4F, 0xB8)
    pixels = []
    for y in range(size):
        t = y / max(1, size - 1)
        blue = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
        row = []
        for x in range(size):
            f = fore[y][x] * back[y][x]
            rgb = tuple(round(c * (1 - f) + 255 * f) for c in blue)
            row.append(rgb + (round(255 * back[y][x]),))
        pixels.append(row)
    return pixels


def dib(size):
    pixels = image(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    body = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            body += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    body += bytes(mask_row * size)  # the alpha channel decides; the AND mask stays clear
    return header + bytes(body)


def main(path):
    sizes = (16, 32, 48)
    images = [dib(s) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(sizes)))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "brevlo.ico")
