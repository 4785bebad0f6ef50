#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""Writes the seed corpus of the BMP reader's fuzz target: tiny BMP files,
one per header kind and depth the reader accepts, plus one it must refuse.

usage: make_bitmap_seeds.py [DIR]   (default fuzz/corpus/bmp_file_fuzz)
"""
import os
import struct
import sys


def bmp(width, height, bpp, pixels, palette=(), compression=0, header_size=40, masks=()):
    info = struct.pack('<IiiHHIIiiII', header_size, width, height, 1, bpp, compression,
                       len(pixels), 2835, 2835, len(palette), 0)
    mask_bytes = b''.join(struct.pack('<I', m) for m in masks)
    if header_size > 40:
        info = (info + mask_bytes).ljust(header_size, b'\0')
    else:
        info += mask_bytes
    info += b''.join(struct.pack('<BBBB', c & 0xFF, c >> 8 & 0xFF, c >> 16 & 0xFF, 0) for c in palette)
    offset = 14 + len(info)
    return struct.pack('<2sIHHI', b'BM', offset + len(pixels), 0, 0, offset) + info + pixels


def rows(row_length, count, byte=0x5A):
    return bytes((byte + i) & 0xFF for i in range(row_length * count))


SEEDS = {
    'rgb24_3x2.bmp': bmp(3, 2, 24, rows(12, 2)),
    'topdown24_2x2.bmp': bmp(2, -2, 24, rows(8, 2)),
    'pal8_4x2.bmp': bmp(4, 2, 8, bytes([0, 1, 2, 3] * 2), palette=(0xFF0000, 0xFF00, 0xFF, 0xFFFFFF)),
    'pal4_5x3.bmp': bmp(5, 3, 4, rows(4, 3), palette=tuple(i * 0x111111 for i in range(16))),
    'pal1_9x2.bmp': bmp(9, 2, 1, rows(4, 2), palette=(0, 0xFFFFFF)),
    'bitfields16_2x2.bmp': bmp(2, 2, 16, rows(4, 2), compression=3, masks=(0xF800, 0x07E0, 0x001F)),
    'v5_32_2x2.bmp': bmp(2, 2, 32, rows(8, 2), compression=3, header_size=124,
                         masks=(0xFF0000, 0xFF00, 0xFF, 0xFF000000)),
    'rle8_refused.bmp': bmp(2, 2, 8, b'\x02\x01\x00\x00\x02\x01\x00\x01', palette=(0, 0xFFFFFF), compression=1),
}


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else 'fuzz/corpus/bmp_file_fuzz'
    os.makedirs(directory, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(directory, name), 'wb') as out:
            out.write(data)


if __name__ == '__main__':
    main()
