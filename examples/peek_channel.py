#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""Watch a channel without disturbing its consumers: peek at COUNT frames of
CRT<CHANNEL>, saying how many were missed between them, hand a few bytes to
the serial port, and print the daemon's counters for the channel.

    peek_channel.py 3 5
"""
import sys

import serialhub


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: peek_channel.py <channel> <count>")
    number, count = int(sys.argv[1]), int(sys.argv[2])
    with serialhub.Channel(number) as channel:
        for _ in range(count):
            frame = channel.peek(timeout=10)
            if frame is None:
                sys.exit("CRT%d: no frame within 10 s" % number)
            print("seq %d missed %d frame %s" % (channel.seq, channel.missed, frame.hex(" ")), flush=True)
    serialhub.write(b"peeked\n")
    for entry in serialhub.stats()["entries"]:
        if entry["channel"] == number:
            print("CRT%d frames %d bytes %d" % (number, entry["frames"], entry["bytes"]))


if __name__ == "__main__":
    main()
