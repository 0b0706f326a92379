#!/usr/bin/env python3
"""Prints a PNG image's width, height and number of distinct colours:
png_info.py FILE  ->  "<width> <height> <colours>"

Reads 8-bit, non-interlaced grey, RGB, palette and RGBA images, which is
what Qt and tools/make_icon.py write."""
import struct
import sys
import zlib


def read(path):
    with open(path, 'rb') as f:
        data = f.read()
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        raise ValueError('not a PNG file')
    pos, idat, header, palette = 8, b'', None, None
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR':
            header = struct.unpack('>IIBBBBB', body)
        elif kind == b'PLTE':
            palette = body
        elif kind == b'IDAT':
            idat += body
        pos += 12 + length
    width, height, depth, colour_type, _, _, interlace = header
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
    if depth != 8 or interlace:
        raise ValueError('bit depth %d, interlace %d: not read here' % (depth, interlace))
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(bytes(line))
        previous = line
    pixels = set()
    for line in rows:
        for x in range(width):
            pixel = line[x * channels:(x + 1) * channels]
            if colour_type == 3:
                pixel = palette[pixel[0] * 3:pixel[0] * 3 + 3]
            pixels.add(bytes(pixel))
    return width, height, len(pixels)


if __name__ == '__main__':
    try:
        print('%d %d %d' % read(sys.argv[1]))
    except (OSError, ValueError, KeyError, zlib.error, struct.error, TypeError) as e:
        print('png_info.py: %s: %s' % (sys.argv[1], e), file=sys.stderr)
        sys.exit(1)
