#!/usr/bin/env python3
"""Draws the application icon from one picture, in every form it ships in:

  res/tavrik.ico                  the Windows icon: 32x32 and 16x16 in the 16
                                  standard colours
  res/icons/tavrik-<N>.png        the desktop icons, N = 16 32 48 64 128 256
  res/icons/tavrik.svg            the scalable desktop icon

The picture is a TV set receiving a signal, made of rectangles on a 32x32
grid in the 16 standard colours; every image is painted from that one list.

Run it again after changing the picture:  python3 tools/make_icon.py
Check that the files in res/ are what it draws:  python3 tools/make_icon.py --check
"""
import os
import struct
import sys
import zlib

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

GRID = 32
PNG_SIZES = (16, 32, 48, 64, 128, 256)
ICO_SIZES = (32, 16)


def picture():
    """The picture: (x0, y0, x1, y1, colour) rectangles on the 32x32 grid,
    back to front."""
    shapes = []

    def rect(x0, y0, x1, y1, colour):
        shapes.append((x0, y0, x1, y1, colour))

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
    return shapes


def draw(size):
    """The picture as size x size palette indices (None: transparent). Every
    rectangle covers at least one pixel, so the small images keep the thin
    parts."""
    s = size / GRID
    px = [[CLEAR] * size for _ in range(size)]
    for x0, y0, x1, y1, colour in picture():
        for y in range(int(y0 * s), max(int(y0 * s) + 1, int(y1 * s))):
            for x in range(int(x0 * s), max(int(x0 * s) + 1, int(x1 * s))):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = colour
    return px


def rgba(size):
    """The picture as size x size RGBA rows. Sizes that are not a multiple of
    the grid are painted at the next multiple and scaled down by averaging,
    so no row or column of the grid is dropped or doubled."""
    if size % GRID == 0 or size < GRID:
        return [[(0, 0, 0, 0) if c is None else PALETTE[c] + (255,) for c in row] for row in draw(size)]
    factor = 1
    while (size * factor) % GRID:
        factor += 1
    big = draw(size * factor)
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            r = g = b = a = 0
            for yy in range(y * factor, (y + 1) * factor):
                for xx in range(x * factor, (x + 1) * factor):
                    c = big[yy][xx]
                    if c is not None:
                        pr, pg, pb = PALETTE[c]
                        r, g, b, a = r + pr, g + pg, b + pb, a + 1
            n = factor * factor
            row.append((0, 0, 0, 0) if a == 0 else
                       (round(r / a), round(g / a), round(b / a), round(255 * a / n)))
        rows.append(row)
    return rows


def png(rows):
    """A PNG file (8-bit RGBA, no ancillary chunks, so the bytes depend on
    the picture only)."""
    size = len(rows)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))

    raw = b''.join(b'\0' + bytes(v for p in row for v in p) for row in rows)
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9))
            + chunk(b'IEND', b''))


def svg():
    """The scalable icon: the same rectangles, edges kept sharp."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d"'
             ' shape-rendering="crispEdges">' % (GRID, GRID, GRID, GRID),
             '  <title>Tavrik</title>']
    for x0, y0, x1, y1, colour in picture():
        lines.append('  <rect x="%d" y="%d" width="%d" height="%d" fill="#%02x%02x%02x"/>'
                     % ((x0, y0, x1 - x0, y1 - y0) + PALETTE[colour]))
    lines.append('</svg>')
    return ('\n'.join(lines) + '\n').encode()


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


def ico():
    images = [dib(draw(size)) for size in ICO_SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(ICO_SIZES, images):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b''.join(images)


def files():
    """Every file the picture makes, by path under res/."""
    out = {'tavrik.ico': ico(), 'icons/tavrik.svg': svg()}
    for size in PNG_SIZES:
        out['icons/tavrik-%d.png' % size] = png(rgba(size))
    return out


def main(argv):
    res = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'res')
    if argv[1:] == ['--check']:
        stale = []
        for name, data in sorted(files().items()):
            try:
                with open(os.path.join(res, name), 'rb') as f:
                    if f.read() == data:
                        continue
            except FileNotFoundError:
                pass
            stale.append(name)
        for name in stale:
            print('make_icon.py: res/%s is not what the picture draws; run tools/make_icon.py' % name,
                  file=sys.stderr)
        return 1 if stale else 0
    if argv[1:]:
        print(__doc__, file=sys.stderr)
        return 2
    os.makedirs(os.path.join(res, 'icons'), exist_ok=True)
    for name, data in files().items():
        with open(os.path.join(res, name), 'wb') as f:
            f.write(data)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
