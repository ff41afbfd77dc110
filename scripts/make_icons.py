#!/usr/bin/env python3
"""Draws Vexa's two icons and writes them as .ico files into resources/.

content.ico (resource 105): one 16x16 image, 256 colours.
plugin.ico (resource 106): two 16-colour images, 16x16 and 32x32.
The picture is a feed symbol: a dot in the lower left corner and two arcs around it.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "resources")


def feed_mask(size):
    """Returns a size x size grid: 0 background, 1 tile, 2 symbol."""
    grid = [[1] * size for _ in range(size)]
    # Rounded corners of the tile.
    r = max(2, size // 8)
    for y in range(size):
        for x in range(size):
            cx = min(x, size - 1 - x)
            cy = min(y, size - 1 - y)
            if cx < r and cy < r and (r - cx - 0.5) ** 2 + (r - cy - 0.5) ** 2 > r * r:
                grid[y][x] = 0
    ox, oy = size * 0.22, size * 0.78
    for y in range(size):
        for x in range(size):
            if grid[y][x] == 0:
                continue
            d = ((x + 0.5 - ox) ** 2 + (y + 0.5 - oy) ** 2) ** 0.5
            if x + 0.5 < ox - size * 0.1 or y + 0.5 > oy + size * 0.1:
                if d > size * 0.12:
                    continue
            if d <= size * 0.12:
                grid[y][x] = 2
            elif size * 0.30 <= d <= size * 0.42 or size * 0.56 <= d <= size * 0.68:
                grid[y][x] = 2
    return grid


def bmp_image(size, bpp, palette, index_of):
    """One icon image: BITMAPINFOHEADER, palette, XOR bits (bottom-up), AND mask."""
    grid = feed_mask(size)
    colours = 1 << bpp
    pal = list(palette) + [(0, 0, 0)] * (colours - len(palette))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, colours, 0)
    pal_bytes = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in pal)
    row_bytes = ((size * bpp + 31) // 32) * 4
    xor = b""
    for y in reversed(range(size)):
        bits = 0
        nbits = 0
        row = bytearray()
        for x in range(size):
            bits = (bits << bpp) | index_of(grid[y][x])
            nbits += bpp
            if nbits == 8:
                row.append(bits)
                bits, nbits = 0, 0
        row += b"\0" * (row_bytes - len(row))
        xor += bytes(row)
    mask_row = ((size + 31) // 32) * 4
    andm = b""
    for y in reversed(range(size)):
        row = bytearray(mask_row)
        for x in range(size):
            if grid[y][x] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        andm += bytes(row)
    return header + pal_bytes + xor + andm


def write_ico(path, images):
    """images: list of (size, colour count, data)."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, ncol, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, ncol % 256, 0, 1,
                           0, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


# 16-colour palette: black, orange tile, white symbol.
pal16 = [(0, 0, 0), (236, 112, 20), (255, 255, 255)]
plugin = [(s, 16, bmp_image(s, 4, pal16, lambda v: v)) for s in (16, 32)]
write_ico(os.path.join(OUT, "plugin.ico"), plugin)

# 256-colour palette: a blue tile for items.
pal256 = [(0, 0, 0), (32, 96, 200), (255, 255, 255)]
content = [(16, 0, bmp_image(16, 8, pal256, lambda v: v))]
write_ico(os.path.join(OUT, "content.ico"), content)
