# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""A daemon of a staged install on a throw-away device: its own device root
with a pty linked as dev/COM7, its own objects directory, a notify socket
to hear READY=1 from, and a clean stop. Shared by the scripts that check an
installed tree (install_check.py, tests/integration/installed_examples.py).
"""
import glob
import os
import pty
import socket
import subprocess


def only(pattern):
    """The one path of a staged tree that matches `pattern` (a recursive
    glob); the calling script ends, saying so, when there is not exactly one."""
    found = glob.glob(pattern, recursive=True)
    if len(found) != 1:
        raise SystemExit("expected one match of %s, found %s" % (pattern, found))
    return found[0]


class StagedDaemon:
    def __init__(self, work, command, env=None):
        """Starts `command` (the daemon and its arguments) in `work`; `env`
        is the environment the caller's clients use too."""
        self.device, self.objects = os.path.join(work, "root"), os.path.join(work, "objects")
        os.makedirs(os.path.join(self.device, "dev"))
        self.master, slave = pty.openpty()
        os.symlink(os.ttyname(slave), os.path.join(self.device, "dev", "COM7"))
        os.close(slave)
        notify_path = os.path.join(work, "notify")
        self._notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._notify.bind(notify_path)
        self._notify.settimeout(10)
        self.env = {**(env or os.environ), "CE_ROOT": self.device, "CE_OBJECTS": self.objects}
        self.env.pop("DISPLAY", None)
        self._start = lambda: subprocess.Popen(command, env={**self.env, "NOTIFY_SOCKET": notify_path})
        self.process = self._start()

    def ready(self):
        """True once the daemon announced READY=1 (its STATUS= lines may come first)."""
        try:
            notice = self._notify.recv(256)
            while notice.startswith(b"STATUS="):
                notice = self._notify.recv(256)
        except socket.timeout:
            return False
        return notice == b"READY=1"

    def stop(self):
        """SIGTERM; the exit code, or None when it had to be killed."""
        self.process.terminate()
        try:
            return self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            return None
        finally:
            self.close()

    def restart(self):
        """Stops the daemon with SIGTERM and starts it anew on the same device
        and objects; True once the new one announced READY=1."""
        self.process.terminate()
        self.process.wait(timeout=10)
        self._notify.setblocking(False)
        try:
            while self._notify.recv(256):  # what the stopped one said (STOPPING=1)
                pass
        except BlockingIOError:
            pass
        self._notify.settimeout(10)
        self.process = self._start()
        return self.ready()

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.master is not None:
            os.close(self.master)
            self.master = None
