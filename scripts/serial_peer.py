#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""The serial peer device, played on a pseudo-terminal.

Opens a pty pair, links the slave as the device's COM7 node, and plays the
acts of a scripted conversation as it is told to: frames on three channels,
noise between them, a frame split across writes, touches and backlight
commands. Everything the daemon sends back is printed as hex. Used by scripts/demo.sh; the line is raw from the start, like a real
serial line, so nothing sent early is echoed back.
"""
import argparse
import os
import select
import sys
import time
import tty

TOUCH_DOWN_CENTRE = bytes.fromhex("fe41 f000 9001")  # pen down at X 400, V 240
TOUCH_DOWN_MOVED = bytes.fromhex("fe41 f400 9401")   # still down, X 404, V 244
TOUCH_UP = bytes.fromhex("fe00 0000 0000")
BACKLIGHT_TOGGLE = bytes.fromhex("aa44 0300")        # control command 3

# Acts of the conversation, each played when the demo says so:
# (legend, bytes, pause after in seconds)
ACTS = [
    ("frames", [
        ("noise before anything", bytes([0x00, 0x13, 0x37]), 0.2),
        ("text frame on channel 2 (aa 33 ... CR LF)", b"\xaa\x33hello serialhub\r\n", 0.3),
        ("noise between frames", bytes([0xFF, 0x00]), 0.2),
        ("touch on channel 1: pen down at X 400, V 240", TOUCH_DOWN_CENTRE, 0.2),
        ("touch: still down, moved", TOUCH_DOWN_MOVED, 0.2),
        ("touch: pen up", TOUCH_UP, 0.2),
        ("a second text line, split across two writes: first part", b"\xaa\x33o", 0.25),
        ("second part", b"k\r\n", 0.3),
    ]),
    ("backlight", [
        ("control command 3 on channel 4: backlight off", BACKLIGHT_TOGGLE, 0.5),
        ("touch while the screen is dark: dropped, with a click", TOUCH_DOWN_CENTRE, 0.2),
        ("touch up while dark: dropped too", TOUCH_UP, 0.2),
        ("control command 3 again: backlight on", BACKLIGHT_TOGGLE, 0.5),
    ]),
    ("tap", [
        ("a tap after power came back: pen down", TOUCH_DOWN_CENTRE, 0.2),
        ("pen up", TOUCH_UP, 0.3),
    ]),
]


def say(text):
    print(f"[peer] {text}", flush=True)


def open_linked_pty(link):
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_inheritable(master, False)
    os.set_inheritable(slave, False)
    name = os.ttyname(slave)
    os.close(slave)  # the daemon opens it by path through the link
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(name, link)
    return master, name


def read_available(master, timeout):
    ready, _, _ = select.select([master], [], [], timeout)
    if not ready:
        return b""
    try:
        return os.read(master, 4096)
    except OSError:  # nobody has the slave open right now
        return b""


def play(master, legend_and_bytes):
    for legend, data, pause in legend_and_bytes:
        say(f"sends {legend}: {data.hex(' ')}")
        os.write(master, data)
        time.sleep(pause)


def run(master, go_dir, stop_file, seconds):
    """Plays each act once the file of its name appears in go_dir, in order,
    and prints whatever serialhub sends meanwhile."""
    deadline = time.monotonic() + seconds
    pending = list(ACTS)
    while time.monotonic() < deadline and not os.path.exists(stop_file):
        if pending and os.path.exists(os.path.join(go_dir, pending[0][0])):
            name, legend_and_bytes = pending.pop(0)
            play(master, legend_and_bytes)
            open(os.path.join(go_dir, name + ".done"), "w").close()
        data = read_available(master, 0.05)
        if data:
            say(f"received from serialhub: {data.hex(' ')}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--link", required=True, help="path of the COM7 node to create")
    parser.add_argument("--go", required=True, help="folder where the demo drops a file per act to play")
    parser.add_argument("--stop", required=True, help="end once this file exists")
    parser.add_argument("--seconds", type=float, default=30, help="longest time to run")
    args = parser.parse_args()

    master, name = open_linked_pty(args.link)
    say(f"pty {name} linked as {args.link}")
    run(master, args.go, args.stop, args.seconds)
    os.close(master)
    say("line closed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
