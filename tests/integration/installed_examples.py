#!/usr/bin/env python3
"""The examples as an application developer meets them: installs this build
into a staging folder (DESTDIR), builds examples/channel_example.c with the
installed header and library found through pkg-config, and runs it and
examples/peek_channel.py (the installed Python module, the library found by
its soname through LD_LIBRARY_PATH) against the staged daemon on a pty.

The C example must time out, send its text out of the port, receive a frame
(sent only once the text came) and see 261 bytes refused; the Python one must
peek at three frames and send its bytes. Frames are re-sent until each
example has what it waits for.

usage: installed_examples.py BUILD_DIR
"""
import glob
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from staged_daemon import StagedDaemon  # noqa: E402
ROUTES = "3,aa 55,,0-0,6,fixed\n"
FRAME = b"\xaa\x55\x01\x02\x03\x04"


def fail(message):
    sys.exit("installed_examples: " + message)


def only(pattern):
    found = glob.glob(pattern, recursive=True)
    if len(found) != 1:
        fail("expected one match of %s, found %s" % (pattern, found))
    return found[0]


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
        example = os.path.join(work, "channel_example")
        source = only(stage + "/**/examples/channel_example.c")
        subprocess.run(["cc", "-std=c11", "-Wall", "-Werror", "-o", example, source] + flags, check=True)

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
            if daemon.stop() != 0:
                fail("the staged daemon did not stop with 0")
        finally:
            daemon.close()
    print("installed_examples: the C and Python examples work against the installed library")


if __name__ == "__main__":
    main()
