#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""The X display of the booted-system test, as far as reaching it goes.

Listens where an X server's display :N listens, /tmp/.X11-unix/XN, and
appends a line per connection to FILE: the connecting process's user id
and program. It serves no X protocol: it shows only that a program in
serialhub's sandbox reached the display's socket.

usage: system_x_listener.py N FILE
"""
import os
import socket
import struct
import sys


def main():
    display, log = sys.argv[1], sys.argv[2]
    path = f"/tmp/.X11-unix/X{display}"
    os.makedirs(os.path.dirname(path), mode=0o1777, exist_ok=True)
    if os.path.exists(path):
        os.unlink(path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    os.chmod(path, 0o777)
    server.listen(16)
    with open(log, "a", buffering=1) as out:
        while True:
            connection, _ = server.accept()
            pid, uid, _gid = struct.unpack("3i", connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))
            try:
                program = os.readlink(f"/proc/{pid}/exe")
            except OSError:
                program = "?"
            out.write(f"{uid} {program}\n")
            connection.close()


if __name__ == "__main__":
    sys.exit(main())
