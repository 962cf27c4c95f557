#!/usr/bin/env python3
"""Writes the seed corpus of bitmap_fuzz: a few tiny bitmap files of each
kind the reader takes, and a few it refuses. Run from anywhere; the files go
to corpus/bitmap beside this script."""
import os
import struct

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "bitmap")


def bmp(width, height, bits, rows, header=40, compression=0, masks=(), palette=(), used=0):
    """A bitmap file; rows are the stored rows' bytes, padded here to 4 bytes."""
    stride = (width * bits + 31) // 32 * 4
    pixels = b"".join(r.ljust(stride, b"\0") for r in rows)
    extra = b"".join(struct.pack("<I", m) for m in masks) if header == 40 else b""
    table = b"".join(struct.pack("<I", c) for c in palette)
    info = struct.pack("<IiiHHIIiiII", header, width, height, 1, bits, compression,
                       len(pixels), 2835, 2835, used, 0)
    if header > 40:
        fields = b"".join(struct.pack("<I", m) for m in masks).ljust(16, b"\0")
        info += (fields + struct.pack("<I", 0x73524742)).ljust(header - 40, b"\0")
    offset = 14 + len(info) + len(extra) + len(table)
    data = info + extra + table + pixels
    return b"BM" + struct.pack("<IHHI", 14 + len(data), 0, 0, offset) + data


files = {
    "rgb24": bmp(3, 2, 24, [bytes(range(9)), bytes(range(9, 18))]),
    "rgb24-top-down": bmp(2, -2, 24, [b"\xff\0\0\0\xff\0", b"\0\0\xff\xff\xff\xff"]),
    "rgb32": bmp(2, 1, 32, [b"\x10\x20\x30\0\x40\x50\x60\0"]),
    "fields32": bmp(1, 2, 32, [b"\1\2\3\0", b"\4\5\6\0"], compression=3,
                    masks=(0xFF0000, 0xFF00, 0xFF)),
    "fields16-v5": bmp(3, 1, 16, [b"\x00\xf8\xe0\x07\x1f\x00"], header=124, compression=3,
                       masks=(0xF800, 0x07E0, 0x001F)),
    "rgb16-v4": bmp(2, 1, 16, [b"\x00\x7c\xff\x7f"], header=108),
    "indexed8": bmp(4, 2, 8, [b"\0\1\2\3", b"\3\2\1\0"],
                    palette=(0x000000, 0xFF0000, 0x00FF00, 0x0000FF), used=4),
    "indexed4": bmp(5, 1, 4, [b"\x01\x23\x40"], palette=tuple(range(16))),
    "indexed1": bmp(9, 2, 1, [b"\xaa\x80", b"\x55\x00"], palette=(0, 0xFFFFFF)),
    "short": bmp(3, 2, 24, [bytes(9), bytes(9)])[:60],
    "rle8": bmp(2, 1, 8, [b"\0\1"], compression=1, palette=(0, 1), used=2),
    "offset-past-end": bytearray(bmp(1, 1, 24, [b"\1\2\3"])),
}
struct.pack_into("<I", files["offset-past-end"], 10, 0x10000)

os.makedirs(here, exist_ok=True)
for name, data in files.items():
    with open(os.path.join(here, name + ".bmp"), "wb") as f:
        f.write(bytes(data))
