#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""The examples as an application developer meets them: installs this build
into a staging folder (DESTDIR), builds examples/channel_example.c and
examples/monitor_epoll.c with the installed header and library found through
pkg-config, and runs them and examples/peek_channel.py and
examples/monitor_asyncio.py (the installed Python module, the library found
by its soname through LD_LIBRARY_PATH) against the staged daemon on a pty.

The C example must time out, send its text out of the port, receive a frame
(sent only once the text came) and see 261 bytes refused; the Python one must
peek at three frames and send its bytes. Frames are re-sent until each
example has what it waits for. The two monitor examples must show frames of
channels 2 and 4, follow a restart of the daemon, and report from their
timers. Every function of the installed header finds the manual page.

usage: installed_examples.py BUILD_DIR
"""
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from staged_daemon import StagedDaemon, only  # noqa: E402
ROUTES = "3,aa 55,,0-0,6,fixed\n1,fe,,0-0,6,touch\n2,aa 33,,0-0,6,text\n4,aa 44,,0-0,4,control\n"
FRAME = b"\xaa\x55\x01\x02\x03\x04"
MONITORED = b"\xaa\x33\x01\x02\x03\x04\xaa\x44\x07\x00"  # a frame of channel 2, one of 4
MONITORED_TEXT = {"CRT2 seq": ": aa 33 01 02 03 04", "CRT4 seq": ": aa 44 07 00"}


def fail(message):
    sys.exit("installed_examples: " + message)


def read_until(master, wanted, deadline):
    got = b""
    while wanted not in got and time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            got += os.read(master, 512)
    return got


def run_resending(command, env, master, deadline, first=None):
    """Runs `command`, writing FRAME to the port every 50 ms until it ends;
    with `first`, only once those bytes came out of the port."""
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        if first is not None and first not in read_until(master, first, deadline):
            fail("%s never sent %r out of the port" % (command[0], first))
        while process.poll() is None and time.monotonic() < deadline:
            os.write(master, FRAME)
            try:
                process.wait(timeout=0.05)
            except subprocess.TimeoutExpired:
                pass
        out, err = process.communicate(timeout=max(1, deadline - time.monotonic()))
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return process.returncode, out.decode(), err.decode()


class Output:
    """A running example's stdout, read line by line with a deadline."""

    def __init__(self, command, env):
        self.process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.name, self.lines, self.pending = os.path.basename(command[-2]), [], b""

    def wait_for(self, text, deadline):
        """The first line holding `text` after the last one waited for."""
        while True:
            for index, line in enumerate(self.lines):
                if text in line:
                    del self.lines[:index + 1]
                    return line
            if not select.select([self.process.stdout], [], [], max(0, deadline - time.monotonic()))[0]:
                fail("no %r from %s; it said %r" % (text, self.name, self.lines))
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                fail("%s ended before %r (%s): %s" % (self.name, text, self.process.wait(),
                                                       self.process.stderr.read().decode()))
            *complete, self.pending = (self.pending + chunk).split(b"\n")
            self.lines += [line.decode() for line in complete]

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


def wait_port_open(daemon, deadline):
    """Until the daemon has COM7 open (port_open in CRT:STATUS, see serialhub/protocol.h)."""
    while time.monotonic() < deadline:
        with open(os.path.join(daemon.objects, "CRT:STATUS"), "rb") as status:
            if struct.unpack_from("<I", status.read(76), 72)[0] == 1:
                return
        time.sleep(0.01)
    fail("the daemon did not open COM7")


def run_monitor_examples(daemon, commands, deadline):
    """Both monitor examples at once, each asked for four frames: two before
    the daemon restarts, two after."""
    examples = [Output(command + ["4"], daemon.env) for command in commands]
    try:
        for restarted in (False, True):
            for example in examples:
                example.wait_for("monitoring channels 1, 2 and 4", deadline)
            wait_port_open(daemon, deadline)
            os.write(daemon.master, MONITORED)
            for example in examples:
                for frame in ("CRT2 seq", "CRT4 seq"):
                    line = example.wait_for(frame, deadline)
                    if " missed 0 at " not in line or not line.endswith(MONITORED_TEXT[frame]):
                        fail("%s printed %r" % (example.name, line))
            if not restarted:
                for example in examples:
                    example.wait_for("frames in the last second", deadline)
                if not daemon.restart():
                    fail("the restarted daemon did not announce READY=1")
                for example in examples:
                    example.wait_for("daemon gone: retrying every 0.5 s", deadline)
        for example in examples:
            status = example.process.wait(timeout=max(1, deadline - time.monotonic()))
            if status != 0:
                fail("%s ended with %d: %s" % (example.name, status, example.process.stderr.read()))
    finally:
        for example in examples:
            example.kill()


def check_manual(stage):
    """`man NAME` finds libserialhub(3) for every function of the installed header."""
    with open(only(stage + "/**/include/serialhub/channel.h")) as header:
        names = re.findall(r"^SHUB_API [^(]*?\b(shub_\w+)\(", header.read(), re.M)
    manpath = os.path.dirname(os.path.dirname(only(stage + "/**/man3/libserialhub.3")))
    found = subprocess.run(["man", "-M", manpath, "-w"] + names, capture_output=True, text=True)
    pages = found.stdout.split()
    if found.returncode != 0 or len(pages) != len(names) or any(not p.endswith("/libserialhub.3") for p in pages):
        fail("man -w %s found %s: %s" % (" ".join(names), pages, found.stderr))
    page = subprocess.run(["man", "-M", manpath, "shub_monitor_open"], capture_output=True, text=True,
                          env={**os.environ, "MANPAGER": "cat", "MANWIDTH": "80"}).stdout
    if "shub_monitor *shub_monitor_open(const int *channels, size_t count);" not in page:
        fail("man shub_monitor_open does not show its synopsis:\n" + page[:2000])


def main():
    build = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as work:
        stage = os.path.join(work, "stage")
        subprocess.run(["cmake", "--install", build], check=True, stdout=subprocess.DEVNULL,
                       env={**os.environ, "DESTDIR": stage})
        pc = only(stage + "/**/pkgconfig/serialhub.pc")
        libdir = os.path.dirname(only(stage + "/**/libserialhub.so.1"))
        pythondir = os.path.dirname(only(stage + "/**/serialhub.py"))
        daemon_path = only(stage + "/**/libexec/serialhub/serialhub")

        pkg_env = {**os.environ, "PKG_CONFIG_PATH": os.path.dirname(pc), "PKG_CONFIG_SYSROOT_DIR": stage}
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "serialhub"], env=pkg_env, check=True,
                               capture_output=True, text=True).stdout.split()
        example, monitor_example = os.path.join(work, "channel_example"), os.path.join(work, "monitor_epoll")
        for binary, name in ((example, "channel_example.c"), (monitor_example, "monitor_epoll.c")):
            source = only(stage + "/**/examples/" + name)
            subprocess.run(["cc", "-std=c11", "-Wall", "-Wextra", "-Werror", "-o", binary, source] + flags,
                           check=True)
        check_manual(stage)

        bin_dir = os.path.join(work, "bin")
        os.makedirs(bin_dir)
        shutil.copy(daemon_path, bin_dir)
        with open(os.path.join(bin_dir, "ctl_rt.st"), "w") as routes:
            routes.write(ROUTES)
        daemon = StagedDaemon(work, [os.path.join(bin_dir, "serialhub")],
                              {**os.environ, "LD_LIBRARY_PATH": libdir, "PYTHONPATH": pythondir})
        try:
            if not daemon.ready():
                fail("the staged daemon did not announce READY=1")
            env, master = daemon.env, daemon.master
            deadline = time.monotonic() + 30
            status, out, err = run_resending([example, "3", "hello"], env, master, deadline, first=b"hello")
            if status != 0 or "frame aa 55 01 02 03 04" not in out or "no frame within 100 ms" not in out \
                    or "261 bytes refused: EMSGSIZE" not in out:
                fail("the C example failed (%d):\n%s%s" % (status, out, err))

            python = only(stage + "/**/examples/peek_channel.py")
            status, out, err = run_resending([sys.executable, python, "3", "3"], env, master, deadline)
            if status != 0 or out.count("frame aa 55 01 02 03 04") != 3 or "CRT3 frames" not in out:
                fail("the Python example failed (%d):\n%s%s" % (status, out, err))
            if b"peeked\n" not in read_until(master, b"peeked\n", deadline):
                fail("the Python example's bytes never left the port")
            run_monitor_examples(daemon, [[monitor_example], [sys.executable, only(
                stage + "/**/examples/monitor_asyncio.py")]], time.monotonic() + 30)
            if daemon.stop() != 0:
                fail("the staged daemon did not stop with 0")
        finally:
            daemon.close()
    print("installed_examples: the C and Python examples work against the installed library")


if __name__ == "__main__":
    main()
