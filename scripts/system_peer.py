#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""The serial peer of the booted-system test, run as a service inside it.

Makes a pty, links its far end as /dev/serialhub-peer (where the device
root's COM7 points) and tells systemd it is ready, so serialhub starts on a
line that exists. Each line written to the FIFO <dir>/send is hex bytes to
send; every read from the line is appended to <dir>/received as hex, one
line per read. It keeps the far end open itself, so the line does not hang
up while serialhub restarts and nothing it sent is lost.

usage: system_peer.py DIR
"""
import grp
import os
import select
import socket
import sys
import tty

LINK = "/dev/serialhub-peer"


def notify_ready():
    address = os.environ.get("NOTIFY_SOCKET")
    if not address:
        return
    if address.startswith("@"):
        address = "\0" + address[1:]
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        sock.sendto(b"READY=1", address)


def open_line():
    master, slave = os.openpty()
    tty.setraw(slave)
    # Owned as a serial port is: the daemon reaches it through the group dialout.
    os.fchown(slave, 0, grp.getgrnam("dialout").gr_gid)
    os.fchmod(slave, 0o660)
    temporary = LINK + ".new"
    if os.path.lexists(temporary):
        os.unlink(temporary)
    os.symlink(os.ttyname(slave), temporary)
    os.rename(temporary, LINK)
    return master, slave


def main():
    folder = sys.argv[1]
    send = os.path.join(folder, "send")
    if not os.path.exists(send):
        os.mkfifo(send, 0o600)
    commands = os.open(send, os.O_RDWR)  # read-write: never an end of file
    master, _slave = open_line()
    received = open(os.path.join(folder, "received"), "a", buffering=1)
    notify_ready()
    pending = b""
    while True:
        ready, _, _ = select.select([master, commands], [], [])
        if master in ready:
            received.write(os.read(master, 4096).hex(" ") + "\n")
        if commands in ready:
            pending += os.read(commands, 4096)
            *lines, pending = pending.split(b"\n")
            for line in lines:
                if line.strip():
                    os.write(master, bytes.fromhex(line.decode()))


if __name__ == "__main__":
    sys.exit(main())
