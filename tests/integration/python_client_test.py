#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""The Python module against the real daemon, in client processes of their
own: Ctrl-C ends a wait() and a peek() with KeyboardInterrupt within 0.2 s and
the channel goes on working, a daemon killed under a wait() raises
ConnectionError within a second, and the client leaves no watcher behind.
A Monitor hands over frames through next() and iteration, closes as a
context manager, ends its wait at Ctrl-C and raises ConnectionError when
the daemon is killed; numbers beyond a C int and an int handed to write()
are refused rather than cut down.

usage: python_client_test.py BUILD_DIR
"""
import errno
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from staged_daemon import StagedDaemon  # noqa: E402

# SIGINT's default handler is set anew: a shell may have started us with it ignored.
CLIENT = r"""
import signal
import serialhub
signal.signal(signal.SIGINT, signal.default_int_handler)
for refused in (lambda: serialhub.Channel(2**32 + 3), lambda: serialhub.write(3)):
    try:
        refused()
        print("accepted", flush=True)
    except (TypeError, ValueError):
        pass
with serialhub.Channel(3) as ch:
    for method in (ch.wait, ch.peek):
        print("ready", flush=True)
        try:
            method()
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    print("ready", flush=True)
    try:
        ch.wait()
    except ConnectionError as gone:
        print("gone", gone.errno, flush=True)
"""

MONITOR_CLIENT = r"""
import itertools
import signal
import time
import serialhub
signal.signal(signal.SIGINT, signal.default_int_handler)
try:
    serialhub.Monitor([2**32 + 5])
    print("accepted", flush=True)
except ValueError:
    pass
with serialhub.Monitor([5]) as monitor:
    print("quiet" if monitor.next(timeout=0.05) is None else "early", flush=True)
    print("ready", flush=True)
    frames = [monitor.next(timeout=10)] + list(itertools.islice(monitor, 2))
    now, mono = time.time(), time.monotonic()
    print("frames", *["%d/%d/%d/%d/%s/%s" % (f.channel, f.seq - frames[0].seq, f.missed, f.length, f.data.hex(),
                                             0 <= now - f.time < 5 and 0 <= mono - f.mono < 5) for f in frames],
          flush=True)
    with serialhub.Channel(5) as channel:
        block = channel.read()
    serialhub.event_wait("CRT5:EVENT", 0)  # the frames' signal
    serialhub.event_set("CRT5:EVENT")
    print("block", len(block), block[:14].hex(), serialhub.event_wait("CRT5:EVENT", 1),
          serialhub.event_wait("CRT5:EVENT", 0), flush=True)
    print("ready", flush=True)
    try:
        monitor.next()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
try:
    monitor.fileno()
except ValueError:
    print("closed", flush=True)
with serialhub.Monitor() as monitor:
    print("ready", flush=True)
    try:
        monitor.next()
    except ConnectionError as gone:
        print("gone", gone.errno, flush=True)
"""
# Frames of channel 5, which the channel client does not wait on, and what
# the monitor client prints of them: channel/seq after the first/missed/
# length/data/whether both clocks are near now.
FRAME = b"\xaa\x66\x01\x02\x03\x04"
FRAMES = "frames " + " ".join("5/%d/0/6/aa6601020304/True" % n for n in range(3))

# The system calls a client blocks in: futex (futex, futex_waitv) for a
# channel, poll (poll, ppoll) for a monitor; numbers of x86-64 and arm64.
FUTEX_CALLS, POLL_CALLS = ("202", "98", "449"), ("7", "271", "73")


def fail(message):
    sys.exit("python_client_test: " + message)


def asleep_in(pid, calls):
    """Whether the process sleeps in one of the system calls numbered `calls`."""
    try:
        with open("/proc/%d/syscall" % pid) as call, open("/proc/%d/stat" % pid) as stat:
            number, state = call.read().split()[0], stat.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return number in calls and state == "S"


def interrupt(client, calls):
    """SIGINT once the client sleeps in its wait: earlier, Python would raise
    it before the wait begins."""
    deadline = time.monotonic() + 10
    while not asleep_in(client.pid, calls) and time.monotonic() < deadline:
        time.sleep(0.001)
    client.send_signal(signal.SIGINT)


class Lines:
    """The client's stdout line by line, each waited for with a deadline."""

    def __init__(self, client):
        self.client, self.pending = client, b""

    def next(self, expected, limit):
        """The next line, which must start with `expected` and come within `limit` seconds."""
        began = time.monotonic()
        while b"\n" not in self.pending:
            if not select.select([self.client.stdout], [], [], limit + 10)[0]:
                self.client.kill()
                fail("no %r from the client within %.1f s" % (expected, limit + 10))
            chunk = os.read(self.client.stdout.fileno(), 512)
            if not chunk:
                fail("the client ended before %r: %s" % (expected, self.client.stderr.read()))
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        took = time.monotonic() - began
        if not line.decode().startswith(expected):
            fail("expected %r from the client, got %r" % (expected, line))
        if took > limit:
            fail("%r came after %.3f s, more than %.1f s" % (expected, took, limit))
        return took


def start(script, env):
    return subprocess.Popen([sys.executable, "-c", script], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def main():
    build = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as work:
        bin_dir = os.path.join(work, "bin")
        os.makedirs(bin_dir)
        shutil.copy(os.path.join(build, "daemon", "serialhub"), bin_dir)
        with open(os.path.join(bin_dir, "ctl_rt.st"), "w") as routes:
            routes.write("3,aa 55,,0-0,6,fixed\n5,aa 66,,0-0,6,watched\n")
        env = {**os.environ, "LD_LIBRARY_PATH": os.path.join(build, "libserialhub"),
               "PYTHONPATH": os.path.join(ROOT, "python")}
        daemon = StagedDaemon(work, [os.path.join(bin_dir, "serialhub")], env)
        client = monitor_client = None
        try:
            if not daemon.ready():
                fail("the daemon did not announce READY=1")
            monitor_client = start(MONITOR_CLIENT, daemon.env)
            watched = Lines(monitor_client)
            watched.next("quiet", 10)
            watched.next("ready", 10)
            os.write(daemon.master, FRAME * 3)
            watched.next(FRAMES, 10)
            watched.next("block 288 06000000%s True False" % ("00" * 4 + FRAME.hex()), 10)
            watched.next("ready", 10)
            interrupt(monitor_client, POLL_CALLS)
            took = watched.next("interrupted", 1.0)
            watched.next("closed", 10)
            watched.next("ready", 10)

            client = start(CLIENT, daemon.env)
            lines = Lines(client)
            for _ in range(2):
                lines.next("ready", 10)
                interrupt(client, FUTEX_CALLS)
                lines.next("interrupted", 0.2)
            lines.next("ready", 10)
            daemon.process.kill()
            daemon.process.wait()
            lines.next("gone %d" % errno.ENOTCONN, 1.0)
            watched.next("gone %d" % errno.ENOTCONN, 1.0)
            if monitor_client.wait(timeout=10) != 0:
                fail("the monitor client ended with %d:\n%s" % (monitor_client.returncode,
                                                                 monitor_client.stderr.read()))
            if client.wait(timeout=10) != 0:
                fail("the client ended with %d:\n%s" % (client.returncode, client.stderr.read()))
            with open(os.path.join(daemon.objects, "CRT:STATUS"), "rb") as status:
                watchers = struct.unpack_from("<I", status.read(16), 12)[0]  # see serialhub/protocol.h
            if watchers != 0:
                fail("the client left %d watcher(s) counted" % watchers)
        finally:
            for process in (client, monitor_client):
                if process is not None and process.poll() is None:
                    process.kill()
            daemon.close()
    print("python_client_test: Ctrl-C and a killed daemon end waits as they should;"
          " Ctrl-C ended a monitor's next() after %.3f s" % took)


if __name__ == "__main__":
    main()
