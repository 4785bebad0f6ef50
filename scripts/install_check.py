#!/usr/bin/env python3
"""Builds the programs alone (no tests, no benchmarks), installs them into a
staging folder as a package would (DESTDIR), checks the installed tree, has
systemd-analyze verify the unit where systemd is installed, and runs the
installed daemon once on a simulated device: a pty as COM7, READY=1, one
frame read back with the installed crtctl, SIGTERM, exit 0.

usage: install_check.py [BUILD_DIR]   (default build/install)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from staged_daemon import StagedDaemon

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXPECTED = [
    "usr/bin/crtctl",
    "usr/libexec/serialhub/serialhub",
    "usr/libexec/serialhub/duskcard",
    "usr/libexec/serialhub/suspend",
    "usr/libexec/serialhub/ctl_rt.st",
    "etc/serialhub/ctl_rt.st",
    "usr/share/serialhub/duskcard.bmp",
    "usr/share/serialhub/click.wav",
    "usr/lib/systemd/system/serialhub.service",
    "usr/lib/tmpfiles.d/serialhub.conf",
    "usr/lib/sysusers.d/serialhub.conf",
    "usr/share/doc/serialhub/examples/60-serialhub.rules",
    "usr/share/man/man8/serialhub.8",
    "usr/share/man/man1/duskcard.1",
    "usr/share/man/man1/crtctl.1",
    "usr/share/man/man5/ctl_rt.st.5",
    "usr/share/man/man5/serialhub-capture.5",
    "usr/share/man/man3/libserialhub.3",
    "usr/include/serialhub/channel.h",
    "usr/include/serialhub/protocol.h",
    "usr/share/doc/serialhub/examples/channel_example.c",
    "usr/share/doc/serialhub/examples/peek_channel.py",
    "usr/lib/python3/dist-packages/serialhub.py",
]


def run(*command, **kwargs):
    subprocess.run(command, check=True, **kwargs)


def build_and_stage(build, stage):
    run("cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DBUILD_TESTING=OFF", "-DSERIALHUB_WERROR=ON",
        "-DCMAKE_INSTALL_PREFIX=/usr", stdout=subprocess.DEVNULL)
    run("cmake", "--build", build, "-j", os.environ.get("JOBS", "2"), stdout=subprocess.DEVNULL)
    run("cmake", "--install", build, stdout=subprocess.DEVNULL, env={**os.environ, "DESTDIR": stage})


def check_tree(stage):
    missing = [path for path in EXPECTED if not os.path.lexists(os.path.join(stage, path))]
    if missing:
        sys.exit("install_check: missing from the installed tree: " + ", ".join(missing))
    link = os.readlink(os.path.join(stage, "usr/libexec/serialhub/ctl_rt.st"))
    if link != "/etc/serialhub/ctl_rt.st":
        sys.exit("install_check: the route file beside the daemon points at " + link)


def verify_unit(stage, work):
    if shutil.which("systemd-analyze") is None:
        print("install_check: systemd-analyze not installed; unit not verified")
        return
    # The unit names the installed paths; point them into the staging folder.
    with open(os.path.join(stage, "usr/lib/systemd/system/serialhub.service")) as unit:
        text = unit.read()
    text = text.replace("/usr/libexec/", stage + "/usr/libexec/").replace("/etc/serialhub", stage + "/etc/serialhub")
    staged = os.path.join(work, "serialhub.service")
    with open(staged, "w") as unit:
        unit.write(text)
    run("systemd-analyze", "verify", "--man=no", staged)


def run_daemon_once(stage, work):
    daemon = StagedDaemon(work, [stage + "/usr/libexec/serialhub/serialhub",
                                 "--routes", stage + "/etc/serialhub/ctl_rt.st"])
    try:
        if not daemon.ready():
            sys.exit("install_check: the installed daemon did not announce READY=1")
        crtctl = [stage + "/usr/bin/crtctl", "watch", "2", "--count", "1", "--timeout", "5000"]
        watch = subprocess.Popen(crtctl, env=daemon.env, stdout=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 5
        while watch.poll() is None and time.monotonic() < deadline:
            os.write(daemon.master, b"\xaa\x33hi\r\n")  # a text frame of the sample route file
            time.sleep(0.2)
        out, _ = watch.communicate(timeout=5)
        if "aa 33 68 69 0d 0a" not in out:
            sys.exit("install_check: no frame read back through the installed crtctl: " + out)
        if daemon.stop() != 0:
            sys.exit("install_check: the installed daemon did not stop with 0")
    finally:
        daemon.close()


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "install"))
    with tempfile.TemporaryDirectory() as work:
        stage = os.path.join(work, "stage")
        build_and_stage(build, stage)
        check_tree(stage)
        verify_unit(stage, work)
        run_daemon_once(stage, work)
    print("install_check: the installed tree, its unit and its daemon work")


if __name__ == "__main__":
    main()
