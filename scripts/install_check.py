#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""Builds the programs alone (no tests, no benchmarks), installs them into a
staging folder as a package would (DESTDIR), checks the installed tree, has
systemd-analyze verify the units where systemd is installed, deploys the
staged tree as the README does (systemd-sysusers, then systemd-tmpfiles,
with --root) and checks the device tree it builds, and runs the installed
daemon once on a simulated device: a pty as COM7, READY=1, one frame read
back with the installed crtctl, SIGTERM, exit 0. Then installs the same
build below another prefix (cmake --install --prefix) and checks that every
file lands below it and that the library and the Python module load there.

usage: install_check.py [BUILD_DIR]   (default build/install)
"""
import os
import shutil
import stat
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
    "usr/share/polkit-1/rules.d/50-serialhub-suspend.rules",
    "usr/share/doc/serialhub/examples/60-serialhub.rules",
    "usr/share/man/man8/serialhub.8",
    "usr/share/man/man1/duskcard.1",
    "usr/share/man/man1/crtctl.1",
    "usr/share/man/man5/ctl_rt.st.5",
    "usr/share/man/man5/serialhub-capture.5",
    "usr/share/man/man3/libserialhub.3",
    "usr/share/man/man3/shub_monitor_open.3",
    "usr/include/serialhub/channel.h",
    "usr/include/serialhub/protocol.h",
    "usr/LIBDIR/libserialhub.so.1",
    "usr/LIBDIR/libserialhub.so",
    "usr/LIBDIR/pkgconfig/serialhub.pc",
    "usr/share/doc/serialhub/examples/channel_example.c",
    "usr/share/doc/serialhub/examples/monitor_epoll.c",
    "usr/share/doc/serialhub/examples/peek_channel.py",
    "usr/share/doc/serialhub/examples/monitor_asyncio.py",
    "usr/share/doc/serialhub/examples/serialhub-metrics.service",
    "usr/share/doc/serialhub/examples/serialhub-metrics.timer",
    "usr/lib/python3/dist-packages/serialhub.py",
]

# The device root the tmpfiles entry builds: root's, every folder 0750 and the
# click setting 0640, group serialhub, for a daemon that only reads them; the
# links to the devices and to the installed notice, bitmap, click and sleep
# program. The objects directory is the daemon's own.
DEVICE_ROOT = "var/lib/serialhub"
DEVICE_LINKS = {
    "dev/COM7": "/dev/serialhub-peer",
    "dev/BKL1": "/sys/class/backlight/backlight",
    "dev/BAT1": "/sys/class/power_supply",
    "dev/pointer": "/dev/uinput",
    "residentflash2/korvent/app/duskcard.exe": "/usr/libexec/serialhub/duskcard",
    "residentflash2/korvent/app/duskcard.bmp": "/usr/share/serialhub/duskcard.bmp",
    "residentflash2/click.wav": "/usr/share/serialhub/click.wav",
    "residentflash2/sleep.exe": "/usr/libexec/serialhub/suspend",
}
SCREEN_VALUE = "registry/HKEY_CURRENT_USER/ControlPanel/Volume/Screen"
OBJECTS = "dev/shm/ce"


def run(*command, **kwargs):
    subprocess.run(command, check=True, **kwargs)


def build_and_stage(build, stage):
    run("cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DBUILD_TESTING=OFF", "-DSERIALHUB_WERROR=ON",
        "-DCMAKE_INSTALL_PREFIX=/usr", stdout=subprocess.DEVNULL)
    run("cmake", "--build", build, "-j", os.environ.get("JOBS", "2"), stdout=subprocess.DEVNULL)
    run("cmake", "--install", build, stdout=subprocess.DEVNULL, env={**os.environ, "DESTDIR": stage})


def expected_paths(build):
    """EXPECTED with the library folder this build was configured with."""
    libdir = cache_value(build, "CMAKE_INSTALL_LIBDIR")
    return [path.replace("LIBDIR", libdir) for path in EXPECTED]


def cache_value(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    sys.exit("install_check: %s is not in %s's cache" % (name, build))


def check_tree(root, paths, beside_daemon, route_file):
    missing = [path for path in paths if not os.path.lexists(os.path.join(root, path))]
    if missing:
        sys.exit("install_check: missing from the installed tree: " + ", ".join(missing))
    link = os.readlink(os.path.join(root, beside_daemon))
    if link != route_file:
        sys.exit("install_check: the route file beside the daemon points at %s, not %s" % (link, route_file))


def verify_unit(stage, work):
    with open(os.path.join(stage, "usr/lib/systemd/system/serialhub.service")) as unit:
        if any(line.startswith("StateDirectory=") for line in unit):
            sys.exit("install_check: the unit's StateDirectory= gives the root-owned device root to the daemon")
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
    # The metrics timer and its service, side by side as an operator copies them.
    examples = os.path.join(stage, "usr/share/doc/serialhub/examples")
    metrics = [shutil.copy(os.path.join(examples, "serialhub-metrics." + kind), work) for kind in ("service", "timer")]
    run("systemd-analyze", "verify", "--man=no", *metrics)


def deploy(stage):
    """The README's deployment on the staged tree: the daemon's user first, as
    the entry's owners are looked up inside the root, then the entry twice,
    as every later boot runs it again over what the first run made. False when
    this is no root, who alone can give the tree its owners."""
    if os.geteuid() != 0:
        print("install_check: not run as root; the tmpfiles entry not deployed")
        return False
    tmpfiles = ["systemd-tmpfiles", "--root=" + stage, "--create"]
    for command in (["systemd-sysusers", "--root=" + stage], tmpfiles, tmpfiles):
        if shutil.which(command[0]) is None:
            sys.exit("install_check: " + command[0] + " is not installed (scripts/deps.sh installs systemd)")
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            sys.exit("install_check: %s on the staged tree failed with %d:\n%s"
                     % (" ".join(command[:2]), result.returncode, result.stderr))
    return True


def staged_id(stage, database, name):
    """The id of user or group `name` in the staged /etc/passwd or /etc/group."""
    with open(os.path.join(stage, "etc", database)) as entries:
        for fields in (entry.split(":") for entry in entries):
            if fields[0] == name and len(fields) > 2:
                return int(fields[2])
    sys.exit("install_check: no %s in the staged /etc/%s" % (name, database))


def device_tree_faults(stage):
    """Every way the deployed device tree differs from DEVICE_ROOT's intent."""
    user, group = staged_id(stage, "passwd", "serialhub"), staged_id(stage, "group", "serialhub")
    faults = []

    def expect(path, kind, owner, mode):
        info = os.lstat(path) if os.path.lexists(path) else None
        found = "%s %d:%d" % (stat.filemode(info.st_mode), info.st_uid, info.st_gid) if info else "missing"
        wanted = "%s %d:%d" % (stat.filemode(kind | mode), *owner)
        if found != wanted:
            faults.append("%s is %s, not %s" % (path, found, wanted))

    root = os.path.join(stage, DEVICE_ROOT)
    links = {}
    for folder, _, _ in os.walk(root):
        expect(folder, stat.S_IFDIR, (0, group), 0o750)
        for entry in os.scandir(folder):
            relative = os.path.relpath(entry.path, root)
            if entry.is_symlink():
                links[relative] = os.readlink(entry.path)
            elif relative == SCREEN_VALUE:
                expect(entry.path, stat.S_IFREG, (0, group), 0o640)
                with open(entry.path) as value:
                    if value.read().strip() != "1":
                        faults.append(entry.path + " does not hold 1")
            elif not entry.is_dir(follow_symlinks=False):
                faults.append(entry.path + " is not part of the device tree")
    faults += ["%s links to %s, not %s" % (link, links.get(link, "nothing"), DEVICE_LINKS.get(link, "nothing"))
               for link in sorted(set(links) | set(DEVICE_LINKS)) if links.get(link) != DEVICE_LINKS.get(link)]
    if not os.path.isfile(os.path.join(root, SCREEN_VALUE)):
        faults.append(SCREEN_VALUE + " is missing")
    faults += ["%s reaches no installed file" % link for link, target in DEVICE_LINKS.items()
               if target.startswith("/usr/") and not os.path.isfile(stage + target)]
    expect(os.path.join(stage, OBJECTS), stat.S_IFDIR, (user, group), 0o2770)
    return faults


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


def check_relocated(build, work):
    """`cmake --install --prefix P` puts every file below P (the /etc of a
    /usr prefix becoming P/etc), and what it installs works from there. A
    DESTDIR keeps a stray path inside the work folder, where it is found."""
    guard = os.path.join(work, "relocated")
    prefix = os.path.join(work, "prefix")
    result = subprocess.run(["cmake", "--install", build, "--prefix", prefix], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, env={**os.environ, "DESTDIR": guard})
    if result.returncode != 0:
        sys.exit("install_check: cmake --install --prefix failed:\n" + result.stderr)
    with open(os.path.join(build, "install_manifest.txt")) as manifest:
        outside = [path for path in manifest.read().split() if not path.startswith(prefix + "/")]
    for folder, _, files in os.walk(guard):
        outside += [os.path.join(folder, name)[len(guard):] for name in files
                    if not os.path.join(folder, name).startswith(guard + prefix + "/")]
    if outside:
        sys.exit("install_check: installed outside the prefix %s: %s" % (prefix, ", ".join(sorted(set(outside)))))
    installed = guard + prefix
    paths = [path[len("usr/"):] if path.startswith("usr/") else path for path in expected_paths(build)]
    check_tree(installed, paths, "libexec/serialhub/ctl_rt.st", prefix + "/etc/serialhub/ctl_rt.st")
    libdir = os.path.join(installed, cache_value(build, "CMAKE_INSTALL_LIBDIR"))
    env = {**os.environ, "LD_LIBRARY_PATH": libdir,
           "PYTHONPATH": os.path.join(installed, "lib/python3/dist-packages")}
    found = subprocess.run([sys.executable, "-c", "import serialhub; print(serialhub.__file__)"],
                           env=env, capture_output=True, text=True)
    if found.returncode != 0 or not found.stdout.startswith(installed):
        sys.exit("install_check: the relocated Python module does not load: " + found.stdout + found.stderr)


def check_unit_groups(stage):
    """Every group the unit runs with exists once the staged tree is deployed."""
    with open(os.path.join(stage, "usr/lib/systemd/system/serialhub.service")) as unit:
        for line in unit:
            key, _, value = line.strip().partition("=")
            if key in ("Group", "SupplementaryGroups"):
                for group in value.split():
                    staged_id(stage, "group", group)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "install"))
    with tempfile.TemporaryDirectory() as work:
        stage = os.path.join(work, "stage")
        build_and_stage(build, stage)
        check_tree(stage, expected_paths(build), "usr/libexec/serialhub/ctl_rt.st", "/etc/serialhub/ctl_rt.st")
        verify_unit(stage, work)
        if deploy(stage):
            check_unit_groups(stage)
            faults = device_tree_faults(stage)
            if faults:
                sys.exit("install_check: the deployed device tree is wrong:\n  " + "\n  ".join(faults))
        run_daemon_once(stage, work)
        check_relocated(build, work)
    print("install_check: the installed tree, its unit, its device tree, its daemon and an install "
          "below another prefix work")


if __name__ == "__main__":
    main()
