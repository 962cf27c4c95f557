#!/usr/bin/env python3
"""Draws vellomar's application icon, 128x128 at 32 bits per pixel, and writes
it as a Windows .ico file: python3 make_icon.py vellomar.ico"""
import math
import struct
import sys

SIZE = 128


def inside_rounded(x, y, r=22):
    cx = min(max(x, r), SIZE - 1 - r)
    cy = min(max(y, r), SIZE - 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def near_segment(px, py, ax, ay, bx, by, width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy)) <= width


def pixel(x, y):
    """RGBA of the pixel at column x, row y counted from the top."""
    if not inside_rounded(x, y):
        return (0, 0, 0, 0)
    # A night-blue tile, lighter at the top.
    t = y / (SIZE - 1)
    r, g, b = int(30 + 20 * (1 - t)), int(60 + 70 * (1 - t)), int(110 + 90 * (1 - t))
    # A grass-green block standing on the lower edge: the server.
    if 76 <= y <= 110 and 30 <= x <= 98:
        if y <= 84:
            return (96, 186, 72, 255)
        return (134, 96, 60, 255) if (x // 8 + y // 8) % 2 else (150, 110, 70, 255)
    # A bright V above it.
    if near_segment(x, y, 34, 18, 64, 70, 7) or near_segment(x, y, 94, 18, 64, 70, 7):
        return (250, 214, 80, 255)
    return (r, g, b, 255)


def ico():
    rows = []
    for y in range(SIZE - 1, -1, -1):  # bottom-up, as bitmaps are stored
        row = bytearray()
        for x in range(SIZE):
            r, g, b, a = pixel(x, y)
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    xor = b"".join(rows)
    mask = bytes(SIZE * SIZE // 8)  # the alpha channel decides; the mask is all shown
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 128, 128, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(ico())
