#!/usr/bin/env python3
"""Draws the application icon, res/tavrik.ico: a TV set receiving a signal,
as a 32x32 and a 16x16 image in the 16 standard colours.

Run it again after changing the picture: python3 tools/make_icon.py
"""
import os
import struct

# The 16 standard colours (the VGA palette), as (R, G, B).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DGRAY, LGRAY, WHITE = 0, 8, 7, 15
NAVY, BLUE, CYAN, YELLOW, RED = 4, 12, 14, 11, 9
CLEAR = None


def draw(size):
    s = size / 32.0
    px = [[CLEAR] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y0 * s) + 1, int(y1 * s))):
            for x in range(int(x0 * s), max(int(x0 * s) + 1, int(x1 * s))):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = colour

    # Antenna rods and the set's cabinet, screen and stand.
    for i in range(6):
        rect(10 + i, 1 + i, 11 + i, 2 + i, DGRAY)
        rect(21 - i, 1 + i, 22 - i, 2 + i, DGRAY)
    rect(2, 7, 30, 26, DGRAY)
    rect(3, 8, 29, 25, LGRAY)
    rect(5, 10, 24, 23, BLACK)
    rect(6, 11, 23, 22, NAVY)
    # The picture: a signal wave over a blue sky.
    rect(6, 11, 23, 16, BLUE)
    for x in range(6, 23):
        y = 16 + (1 if (x // 3) % 2 else -1)
        rect(x, y, x + 1, y + 1, CYAN)
    rect(8, 18, 21, 20, YELLOW)
    # Knobs and the stand.
    rect(25, 11, 28, 14, DGRAY)
    rect(25, 16, 28, 19, RED)
    rect(8, 26, 12, 29, DGRAY)
    rect(20, 26, 24, 29, DGRAY)
    rect(6, 29, 26, 30, BLACK)
    return px


def dib(px):
    size = len(px)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor_rows, and_rows = [], []
    for row in reversed(px):
        colours = bytearray()
        for x in range(0, size, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            colours.append((hi << 4) | lo)
        colours += b'\0' * (-len(colours) % 4)
        xor_rows.append(bytes(colours))
        bits = 0
        mask = bytearray()
        for x in range(size):
            bits = (bits << 1) | (1 if row[x] is None else 0)
            if x % 8 == 7:
                mask.append(bits)
                bits = 0
        mask += b'\0' * (-len(mask) % 4)
        and_rows.append(bytes(mask))
    return header + palette + b''.join(xor_rows) + b''.join(and_rows)


def main():
    images = [dib(draw(32)), dib(draw(16))]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'res', 'tavrik.ico')
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
