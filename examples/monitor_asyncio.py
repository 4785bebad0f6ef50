#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""Watch channels 1, 2 and 4 through a monitor in an asyncio program, with a
task beside it that reports once a second. It follows daemon restarts: when
the daemon goes away (ConnectionError) it closes the monitor and tries to
open a new one every 0.5 s until a daemon runs again.

    monitor_asyncio.py [frames]     # ends after that many frames; else at Ctrl-C
"""
import asyncio
import sys

import serialhub

CHANNELS = (1, 2, 4)


async def open_monitor():
    """A new monitor, as soon as a daemon runs."""
    while True:
        try:
            return serialhub.Monitor(CHANNELS)
        except (ConnectionError, TimeoutError):  # not running, or not answering yet
            await asyncio.sleep(0.5)


async def watch(wanted, counter):
    seen = 0
    while True:
        with await open_monitor() as monitor:
            print("monitoring channels 1, 2 and 4", flush=True)
            try:
                async for frame in monitor.frames():
                    print("CRT%d seq %d missed %d at %.6f: %s" % (frame.channel, frame.seq, frame.missed,
                                                                  frame.time, frame.data.hex(" ")), flush=True)
                    seen += 1
                    counter[0] += 1
                    if seen == wanted:
                        return
            except ConnectionError:
                print("daemon gone: retrying every 0.5 s", flush=True)


async def report(counter):
    while True:
        await asyncio.sleep(1)
        print("%d frames in the last second" % counter[0], flush=True)
        counter[0] = 0


async def main(wanted):
    counter = [0]
    reporter = asyncio.create_task(report(counter))
    try:
        await watch(wanted, counter)
    finally:
        reporter.cancel()


if __name__ == "__main__":
    try:
        asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 else -1))
    except KeyboardInterrupt:
        pass
