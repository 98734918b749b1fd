#!/usr/bin/env python3
"""Draws the launcher's icon: a dark green rounded tile with a pale "T".

Writes an .ico with six 32-bit images (256, 128, 64, 48, 32, 16 pixels), each
stored as a bottom-up BGRA bitmap with its AND mask, as Windows expects.
"""
import struct
import sys

SIZES = (256, 128, 64, 48, 32, 16)
TILE = (12, 20, 6)        # RGB of the window background family
EDGE = (40, 120, 70)
LETTER = (200, 240, 210)


def inside_rounded(x, y, size, radius):
    cx = min(max(x, radius), size - 1 - radius)
    cy = min(max(y, radius), size - 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def pixel(x, y, size):
    radius = max(2, size // 6)
    if not inside_rounded(x, y, size, radius):
        return (0, 0, 0, 0)
    border = max(1, size // 24)
    if not inside_rounded(x, y, size, radius) or not (
        border <= x < size - border and border <= y < size - border
        and inside_rounded(x - border, y - border, size - 2 * border, max(1, radius - border))
    ):
        return EDGE + (255,)
    bar_top, bar_bottom = size * 22 // 100, size * 36 // 100
    stem_left, stem_right = size * 42 // 100, size * 58 // 100
    left, right, bottom = size * 22 // 100, size * 78 // 100, size * 80 // 100
    if (bar_top <= y < bar_bottom and left <= x < right) or (
        bar_top <= y < bottom and stem_left <= x < stem_right
    ):
        return LETTER + (255,)
    return TILE + (255,)


def image(size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):  # bottom-up
        row = bytearray()
        for x in range(size):
            r, g, b, a = pixel(x, y, size)
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # alpha decides; the mask is all "opaque"
    return header + b"".join(rows) + mask


def main(out_path):
    images = [image(s) for s in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, data in zip(SIZES, images):
        dim = 0 if size == 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(out_path, "wb") as f:
        f.write(directory + entries + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
