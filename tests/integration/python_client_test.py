#!/usr/bin/env python3
"""The Python module against the real daemon, in a client process of its own:
Ctrl-C ends a wait() and a peek() with KeyboardInterrupt within 0.2 s and
the channel goes on working, a daemon killed under a wait() raises
ConnectionError within a second, and the client leaves no watcher behind.
A channel number beyond a C int and an int handed to write() are refused
rather than cut down or sent as zero bytes.

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


def fail(message):
    sys.exit("python_client_test: " + message)


def asleep_on_futex(pid):
    """Whether the process sleeps in a futex wait (futex, futex_waitv on x86-64 and arm64)."""
    try:
        with open("/proc/%d/syscall" % pid) as call, open("/proc/%d/stat" % pid) as stat:
            number, state = call.read().split()[0], stat.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return number in ("202", "98", "449") and state == "S"


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


def main():
    build = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as work:
        bin_dir = os.path.join(work, "bin")
        os.makedirs(bin_dir)
        shutil.copy(os.path.join(build, "daemon", "serialhub"), bin_dir)
        with open(os.path.join(bin_dir, "ctl_rt.st"), "w") as routes:
            routes.write("3,aa 55,,0-0,6,fixed\n")
        env = {**os.environ, "LD_LIBRARY_PATH": os.path.join(build, "libserialhub"),
               "PYTHONPATH": os.path.join(ROOT, "python")}
        daemon = StagedDaemon(work, [os.path.join(bin_dir, "serialhub")], env)
        client = None
        try:
            if not daemon.ready():
                fail("the daemon did not announce READY=1")
            client = subprocess.Popen([sys.executable, "-c", CLIENT], env=daemon.env, text=True,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            lines = Lines(client)
            for _ in range(2):
                lines.next("ready", 10)
                # Signalled in the wait: earlier, Python would raise it before the wait begins.
                deadline = time.monotonic() + 10
                while not asleep_on_futex(client.pid) and time.monotonic() < deadline:
                    time.sleep(0.001)
                client.send_signal(signal.SIGINT)
                lines.next("interrupted", 0.2)
            lines.next("ready", 10)
            daemon.process.kill()
            daemon.process.wait()
            lines.next("gone %d" % errno.ENOTCONN, 1.0)
            if client.wait(timeout=10) != 0:
                fail("the client ended with %d:\n%s" % (client.returncode, client.stderr.read()))
            with open(os.path.join(daemon.objects, "CRT:STATUS"), "rb") as status:
                watchers = struct.unpack_from("<I", status.read(16), 12)[0]  # see serialhub/protocol.h
            if watchers != 0:
                fail("the client left %d watcher(s) counted" % watchers)
        finally:
            if client is not None and client.poll() is None:
                client.kill()
            daemon.close()
    print("python_client_test: Ctrl-C and a killed daemon end waits as they should")


if __name__ == "__main__":
    main()
