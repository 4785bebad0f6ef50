#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""Writes the tap click: a 40 ms decaying tone, mono 16-bit at 8 kHz.

usage: make_click_wav.py OUT.wav
"""
import math
import struct
import sys
import wave

with wave.open(sys.argv[1], "wb") as out:
    out.setnchannels(1)
    out.setsampwidth(2)
    out.setframerate(8000)
    out.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(i / 3) * (1 - i / 320))) for i in range(320)))
