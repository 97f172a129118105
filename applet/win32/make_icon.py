#!/usr/bin/python3
"""Draws the applet's icon (one 32 x 32 image, 256 colours) and writes it as
an .ico file: a hard disk seen from the front, with a free-space gauge that
runs low, watched over by a small warning sign.

Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

W = H = 32
TRANSPARENT = None

# Palette entries (r, g, b); index 0 is the transparent background.
palette = [(0, 0, 0)]
index_of = {}


def colour(rgb):
    if rgb not in index_of:
        index_of[rgb] = len(palette)
        palette.append(rgb)
    return index_of[rgb]


pixels = [[TRANSPARENT] * W for _ in range(H)]


def put(x, y, rgb):
    if 0 <= x < W and 0 <= y < H:
        pixels[y][x] = rgb


def rect(x0, y0, x1, y1, rgb):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            put(x, y, rgb)


def shade(rgb, f):
    return tuple(max(0, min(255, int(c * f))) for c in rgb)


# Drive body: a rounded slab with a light top face and a darker front.
body = (150, 156, 166)
top = (196, 202, 212)
edge = (64, 68, 78)
rect(2, 9, 29, 12, top)
rect(2, 13, 29, 25, body)
for x in range(2, 30):
    put(x, 8, edge)
    put(x, 26, edge)
for y in range(9, 26):
    put(1, y, edge)
    put(30, y, edge)
for x in range(2, 30):
    put(x, 13, shade(body, 0.8))
# Front panel with the gauge: green part used, red part the little space left.
rect(4, 16, 25, 21, (40, 44, 52))
for x in range(5, 19):
    g = 150 + (x - 5) * 6
    rect(x, 17, x, 20, (30, g, 60))
for x in range(19, 22):
    rect(x, 17, x, 20, (230, 170, 30))
rect(22, 17, 24, 20, (220, 40, 30))
# Activity lamp.
rect(27, 17, 28, 18, (80, 230, 90))
put(27, 19, shade(body, 0.7))
put(28, 19, shade(body, 0.7))

# Warning sign in the upper right corner: a yellow triangle with a "!".
tri_fill = (250, 206, 40)
tri_edge = (120, 80, 0)
apex_x, apex_y, base_y = 25, 0, 11
for y in range(apex_y, base_y + 1):
    half = (y - apex_y) * 6 // (base_y - apex_y)
    for x in range(apex_x - half, apex_x + half + 1):
        on_edge = x in (apex_x - half, apex_x + half) or y == base_y
        put(x, y, tri_edge if on_edge else tri_fill)
for y in range(3, 8):
    put(apex_x, y, (20, 20, 20))
put(apex_x, 9, (20, 20, 20))

# Index the picture; the mask marks transparent pixels.
rows = []
for y in range(H):
    rows.append([0 if p is TRANSPARENT else colour(p) for p in pixels[y]])
assert len(palette) <= 256
while len(palette) < 256:
    palette.append((0, 0, 0))

xor = bytearray()
for y in reversed(range(H)):  # bottom-up
    xor.extend(rows[y])
and_mask = bytearray()
for y in reversed(range(H)):
    bits = 0
    for x in range(W):
        bits = (bits << 1) | (1 if pixels[y][x] is TRANSPARENT else 0)
    and_mask.extend(struct.pack(">I", bits))  # 32 bits, already a multiple of 4 bytes

header = struct.pack("<IiiHHIIiiII", 40, W, H * 2, 1, 8, 0, len(xor) + len(and_mask), 0, 0, 256, 0)
pal = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in palette)
image = header + pal + bytes(xor) + bytes(and_mask)
ico = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", W, H, 0, 0, 1, 8, len(image), 22) + image
with open(sys.argv[1], "wb") as f:
    f.write(ico)
