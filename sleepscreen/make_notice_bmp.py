#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""Writes a sample sleep notice for duskcard: an 8-bit palette BMP (BI_RGB,
bottom-up rows, 40-byte header, 256-entry colour table) with a message in a
built-in 5x7 font, so that no image or font files are needed.

usage: make_notice_bmp.py OUT.bmp [WIDTH HEIGHT]   (default 800 480)
"""
import struct
import sys

FONT = {  # 5x7 glyphs, one string of 5 bits per row
    'A': ['01110', '10001', '10001', '11111', '10001', '10001', '10001'],
    'C': ['01110', '10001', '10000', '10000', '10000', '10001', '01110'],
    'D': ['11110', '10001', '10001', '10001', '10001', '10001', '11110'],
    'E': ['11111', '10000', '10000', '11110', '10000', '10000', '11111'],
    'G': ['01110', '10001', '10000', '10111', '10001', '10001', '01111'],
    'I': ['01110', '00100', '00100', '00100', '00100', '00100', '01110'],
    'K': ['10001', '10010', '10100', '11000', '10100', '10010', '10001'],
    'L': ['10000', '10000', '10000', '10000', '10000', '10000', '11111'],
    'N': ['10001', '11001', '10101', '10011', '10001', '10001', '10001'],
    'O': ['01110', '10001', '10001', '10001', '10001', '10001', '01110'],
    'P': ['11110', '10001', '10001', '11110', '10000', '10000', '10000'],
    'R': ['11110', '10001', '10001', '11110', '10100', '10010', '10001'],
    'S': ['01111', '10000', '10000', '01110', '00001', '00001', '11110'],
    'T': ['11111', '00100', '00100', '00100', '00100', '00100', '00100'],
    'U': ['10001', '10001', '10001', '10001', '10001', '10001', '01110'],
    'V': ['10001', '10001', '10001', '10001', '10001', '01010', '00100'],
    'W': ['10001', '10001', '10001', '10101', '10101', '10101', '01010'],
    'Y': ['10001', '10001', '01010', '00100', '00100', '00100', '00100'],
    '.': ['00000', '00000', '00000', '00000', '00000', '01100', '01100'],
    ' ': ['00000'] * 7,
}
BACKGROUND, TEXT, BAND = 0, 1, 2


def draw_text(pixels, width, height, text, top, scale, colour):
    advance = 6 * scale
    left = (width - len(text) * advance + scale) // 2  # centred
    for i, ch in enumerate(text):
        for row, bits in enumerate(FONT[ch]):
            for col, bit in enumerate(bits):
                if bit != '1':
                    continue
                for dy in range(scale):
                    y = top + row * scale + dy
                    x0 = left + i * advance + col * scale
                    for x in range(max(x0, 0), min(x0 + scale, width)):
                        if 0 <= y < height:
                            pixels[y][x] = colour


def notice(width, height):
    pixels = [bytearray([BACKGROUND]) * width for _ in range(height)]
    for y in range(height // 2 - 4 * height // 48, height // 2 + 4 * height // 48):
        pixels[y][:] = bytes([BAND]) * width
    big = max(1, width // 100)
    draw_text(pixels, width, height, 'GOING TO SLEEP', height // 2 - 7 * big // 2, big, TEXT)
    small = max(1, big // 2)
    draw_text(pixels, width, height, 'CONNECT POWER TO WAKE', height * 3 // 4, small, TEXT)
    return pixels


def bmp(width, height, pixels):
    palette = [(0x20, 0x18, 0x10), (0xF0, 0xF0, 0xF0), (0x60, 0x38, 0x20)]  # B, G, R
    palette += [(0, 0, 0)] * (256 - len(palette))
    table = b''.join(struct.pack('<BBBB', b, g, r, 0) for b, g, r in palette)
    row = (8 * width + 31) // 32 * 4
    data = b''.join(bytes(pixels[y]) + b'\0' * (row - width) for y in reversed(range(height)))
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 8, 0, len(data), 2835, 2835, 256, 0)
    offset = 14 + len(info) + len(table)
    header = struct.pack('<2sIHHI', b'BM', offset + len(data), 0, 0, offset)
    return header + info + table + data


def main():
    if len(sys.argv) not in (2, 4):
        sys.exit(__doc__)
    width, height = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) == 4 else (800, 480)
    with open(sys.argv[1], 'wb') as out:
        out.write(bmp(width, height, notice(width, height)))


if __name__ == '__main__':
    main()
