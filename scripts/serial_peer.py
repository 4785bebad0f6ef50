#!/usr/bin/env python3
"""The serial peer device, played on a pseudo-terminal.

Opens a pty pair, links the slave as the device's COM7 node, and once told to
go plays a scripted conversation: frames on two channels, noise between them,
a frame split across writes. Everything the daemon sends back is printed as
hex. Used by scripts/demo.sh; the line is raw from the start, like a real
serial line, so nothing sent early is echoed back.
"""
import argparse
import os
import select
import sys
import time
import tty

# (legend, bytes, pause after in seconds)
CONVERSATION = [
    ("noise before anything", bytes([0x00, 0x13, 0x37]), 0.2),
    ("touch frame on channel 1 (aa 55 + 4 bytes)", bytes.fromhex("aa55 0102 0304"), 0.3),
    ("noise between frames", bytes([0xFF, 0xAA, 0x00]), 0.2),
    ("text frame on channel 2 (aa 33 ... CR LF)", b"\xaa\x33hello serialhub\r\n", 0.3),
    ("touch frame, first half", bytes.fromhex("aa55 10"), 0.25),
    ("touch frame, second half", bytes.fromhex("2030 40"), 0.3),
    ("a second text line of another length", b"\xaa\x33ok\r\n", 0.3),
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


def wait_for(path, seconds):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def read_available(master, timeout):
    ready, _, _ = select.select([master], [], [], timeout)
    if not ready:
        return b""
    try:
        return os.read(master, 4096)
    except OSError:  # nobody has the slave open right now
        return b""


def play(master):
    for legend, data, pause in CONVERSATION:
        say(f"sends {legend}: {data.hex(' ')}")
        os.write(master, data)
        time.sleep(pause)


def listen(master, stop_file, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not os.path.exists(stop_file):
        data = read_available(master, 0.1)
        if data:
            say(f"received from serialhub: {data.hex(' ')}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--link", required=True, help="path of the COM7 node to create")
    parser.add_argument("--go", required=True, help="start the conversation once this file exists")
    parser.add_argument("--stop", required=True, help="end once this file exists")
    parser.add_argument("--seconds", type=float, default=30, help="longest time to run")
    args = parser.parse_args()

    master, name = open_linked_pty(args.link)
    say(f"pty {name} linked as {args.link}")
    if not wait_for(args.go, args.seconds):
        say("never told to go")
        return 1
    play(master)
    say("conversation done; listening for bytes from serialhub")
    listen(master, args.stop, args.seconds)
    os.close(master)
    say("line closed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
