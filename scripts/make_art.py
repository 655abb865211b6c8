#!/usr/bin/env python3
"""Draws the program's icon (app/Quorvane.ico) and the About box animation
(app/working.avi: 8-bit uncompressed frames, which the Animate control
plays). Run it again after changing the pictures; its output is committed."""
import math
import struct
from pathlib import Path

APP = Path(__file__).resolve().parent.parent / "app"


def icon(size=32):
    pixels = []
    c = (size - 1) / 2
    for y in range(size):
        row = []
        for x in range(size):
            d = math.hypot(x - c, y - c)
            if max(abs(x - c), abs(y - c)) <= 14:
                # A rounded blue tile with a yellow service "cog" in it.
                if d <= 7:
                    row.append((60, 210, 255, 255))
                elif d <= 10 and (int(math.degrees(math.atan2(y - c, x - c)) + 360) // 30) % 2 == 0:
                    row.append((60, 210, 255, 255))
                else:
                    row.append((170, 90, 40, 255))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    xor = b"".join(bytes(p) for row in reversed(pixels) for p in row)
    mask_rows = []
    for row in reversed(pixels):
        bits = 0
        for x, p in enumerate(row):
            if p[3] == 0:
                bits |= 1 << (31 - x)
        mask_rows.append(struct.pack(">I", bits))
    mask = b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + xor + mask
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 22) + image


def chunk(fourcc, data):
    pad = b"\0" if len(data) % 2 else b""
    return fourcc + struct.pack("<I", len(data)) + data + pad


def riff_list(kind, fourcc, data):
    return kind + struct.pack("<I", len(data) + 4) + fourcc + data


def animation(size=48, frames=12):
    palette = [(240, 240, 240), (170, 90, 40), (255, 210, 60), (200, 200, 200)] + [(0, 0, 0)] * 252
    stride = (size + 3) & ~3
    images = []
    c = (size - 1) / 2
    for f in range(frames):
        angle0 = 2 * math.pi * f / frames
        rows = []
        for y in range(size):
            row = bytearray(stride)
            for x in range(size):
                d = math.hypot(x - c, y - c)
                value = 0
                if 15 <= d <= 18:
                    value = 3
                for k in range(3):
                    a = angle0 + k * 2 * math.pi / 3
                    if math.hypot(x - (c + 16.5 * math.cos(a)), y - (c + 16.5 * math.sin(a))) <= 4.5:
                        value = 1 if k else 2
                row[x] = value
            rows.append(bytes(row))
        images.append(b"".join(reversed(rows)))
    frame_size = len(images[0])
    usec = 80000
    avih = struct.pack("<IIIIIIIIII4I", usec, frame_size * 1000000 // usec, 0, 0x10, frames, 0, 1, frame_size,
                       size, size, 0, 0, 0, 0)
    strh = struct.pack("<4s4sIHHIIIIIIIIhhhh", b"vids", b"DIB ", 0, 0, 0, 0, usec, 1000000, 0, frames,
                       frame_size, 0xFFFFFFFF, 0, 0, 0, size, size)
    bih = struct.pack("<IiiHHIIiiII", 40, size, size, 1, 8, 0, frame_size, 0, 0, 256, 256)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    hdrl = riff_list(b"LIST", b"hdrl", chunk(b"avih", avih) +
                     riff_list(b"LIST", b"strl", chunk(b"strh", strh) + chunk(b"strf", bih + pal)))
    movi_data = b""
    index = b""
    for image in images:
        index += struct.pack("<4sIII", b"00db", 0x10, len(movi_data) + 4, len(image))
        movi_data += chunk(b"00db", image)
    movi = riff_list(b"LIST", b"movi", movi_data)
    body = b"AVI " + hdrl + movi + chunk(b"idx1", index)
    return b"RIFF" + struct.pack("<I", len(body)) + body


if __name__ == "__main__":
    (APP / "Quorvane.ico").write_bytes(icon())
    (APP / "working.avi").write_bytes(animation())
