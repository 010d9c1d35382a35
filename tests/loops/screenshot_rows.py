#!/usr/bin/env python3
"""Counts the lines of text in a rectangle of a PNG screenshot.

    screenshot_rows.py FILE.png X Y WIDTH HEIGHT

Prints the number of bands of text: runs of pixel rows that each hold several sharp changes
of brightness along the row (the strokes of glyphs). A flat area, a highlight bar or a grid
line makes none, so a blank window or an empty table counts 0.
"""
import struct
import sys
import zlib


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit("not a PNG file")
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, color, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    channels = {0: 1, 2: 3, 4: 2, 6: 4}.get(color)
    if depth != 8 or channels is None or interlace:
        sys.exit("unsupported PNG form (depth %d, color type %d)" % (depth, color))
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = previous[i]
            c = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(line)
        previous = line
    return width, height, channels, rows


def main():
    path, x, y, w, h = sys.argv[1], *map(int, sys.argv[2:6])
    width, height, channels, rows = read_png(path)
    if x < 0 or y < 0 or w <= 0 or h <= 0 or x + w > width or y + h > height:
        sys.exit("the rectangle is outside the %dx%d screenshot" % (width, height))
    bands, in_band = 0, False
    for line in rows[y:y + h]:
        luma = []
        for px in range(x, x + w):
            p = line[px * channels:px * channels + 3] if channels >= 3 else line[px * channels:px * channels + 1] * 3
            luma.append((299 * p[0] + 587 * p[1] + 114 * p[2]) // 1000)
        changes = sum(1 for i in range(1, len(luma)) if abs(luma[i] - luma[i - 1]) > 60)
        text = changes >= 6
        if text and not in_band:
            bands += 1
        in_band = text
    print(bands)


main()
