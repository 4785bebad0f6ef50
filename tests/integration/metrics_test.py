#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""crtctl's machine-readable faces against the staged install and its daemon
on a pty: watch --json lines parse and carry each frame of the three channels
watched once; stats --json parses; metrics carries the counters after known
frames (two route entries of one channel as one series) and promtool accepts
it, with and without a daemon; and the shipped metrics service, its ExecStart
line run as systemd would, fills a folder from which Debian's
prometheus-node-exporter serves the daemon's counters on /metrics.

usage: metrics_test.py BUILD_DIR
"""
import json
import os
import select
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from staged_daemon import StagedDaemon, only  # noqa: E402

ROUTES = "2,aa 52,,0-0,4,two\n3,aa 53,,0-0,4,three\n5,aa 55,,0-0,4,five\n2,aa 62,,0-0,3,two-b\n6,aa 56,,0-0,4,six\n"
# A noise byte, then frames of channels 2, 3, 6 (not watched), 2 (second entry), 5, 2.
LINE = bytes.fromhex("00" "aa520100" "aa530200" "aa560900" "aa6203" "aa550400" "aa520500")
WATCHED = [(2, "aa520100"), (3, "aa530200"), (2, "aa6203"), (5, "aa550400"), (2, "aa520500")]
DEADLINE = 20


def fail(message):
    sys.exit("metrics_test: " + message)


def wait_for(condition, what, seconds=DEADLINE):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.02)  # a poll's pace, not a synchronisation: the condition decides
    fail("no %s within %d s" % (what, seconds))


def samples(text):
    """{series: value} of a text exposition; a series twice fails."""
    found = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            series, value = line.rsplit(" ", 1)
            if series in found:
                fail("series %s appears twice" % series)
            found[series] = float(value)
    return found


def promtool_accepts(text):
    check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
    if check.returncode != 0:
        fail("promtool check metrics refused:\n%s%s\n%s" % (check.stdout, check.stderr, text))


def exec_start(unit_path, collector, crtctl, staged_crtctl):
    """The unit's ExecStart as systemd runs it: ${VAR} replaced, $$ made $,
    split by its quoting; the installed crtctl's path pointed into the stage."""
    with open(unit_path) as unit:
        line = next(l for l in unit if l.startswith("ExecStart="))[len("ExecStart="):].strip()
    line = line.replace("${COLLECTOR_DIR}", collector).replace("$$", "$").replace(crtctl, staged_crtctl)
    return shlex.split(line)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def scrape(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as answer:
            return answer.read().decode()
    except OSError:
        return None


def check_watch(crtctl, env, master):
    watch = subprocess.Popen([crtctl, "watch", "--json", "2", "3", "5", "--count", str(len(WATCHED)),
                              "--timeout", str(DEADLINE * 1000)], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    if not select.select([watch.stderr], [], [], DEADLINE)[0] or "watching" not in watch.stderr.readline():
        fail("the watch never started")
    began = time.time()
    os.write(master, LINE)
    out, err = watch.communicate(timeout=DEADLINE)
    if watch.returncode != 0:
        fail("watch --json ended with %d: %s" % (watch.returncode, err))
    frames = [json.loads(line) for line in out.splitlines()]
    if [(f["channel"], f["data"]) for f in frames] != WATCHED:
        fail("watch --json saw other frames than those of its channels:\n" + out)
    for f in frames:
        if f["length"] != len(f["data"]) // 2 or f["missed"] != 0 or abs(f["time"] - began) > 10:
            fail("a frame's length, gap or time is wrong: %s" % f)
    if [f["seq"] for f in frames] != [2, 2, 3, 2, 4]:
        fail("sequence numbers are not the channels': " + out)


def check_metrics(crtctl, env):
    def all_counted():
        stats = subprocess.run([crtctl, "stats", "--json"], env=env, capture_output=True, text=True)
        status = json.loads(stats.stdout) if stats.returncode == 0 else None
        return status if status and sum(entry["frames"] for entry in status["entries"]) == 6 else None
    status = wait_for(all_counted, "count of six frames in stats --json")
    if not status["daemon_alive"] or status["noise_bytes"] != 1 or status["entries"][3] != \
            {"channel": 2, "seq": 1, "frames": 1, "bytes": 3}:
        fail("stats --json is wrong: %s" % status)
    metrics = subprocess.run([crtctl, "metrics"], env=env, capture_output=True, text=True)
    if metrics.returncode != 0:
        fail("metrics ended with %d: %s" % (metrics.returncode, metrics.stderr))
    promtool_accepts(metrics.stdout)
    expected = {
        "serialhub_up": 1, "serialhub_port_open": 1, "serialhub_backlight_on": 1,
        'serialhub_frames_total{channel="2"}': 3, 'serialhub_bytes_total{channel="2"}': 11,
        'serialhub_frames_total{channel="3"}': 1, 'serialhub_bytes_total{channel="3"}': 4,
        'serialhub_frames_total{channel="6"}': 1, "serialhub_noise_bytes_total": 1,
        "serialhub_dark_frames_total": 0, "serialhub_overlong_frames_total": 0,
        "serialhub_port_opens_total": 1, "serialhub_hangups_total": 0,
    }
    got = samples(metrics.stdout)
    wrong = {series: got.get(series) for series, value in expected.items() if got.get(series) != value}
    if wrong or "serialhub_power_mains" in got:
        fail("metrics differ from the frames sent (%s; power not known yet is no value):\n%s"
             % (wrong, metrics.stdout))


def check_node_exporter(stage, work, env):
    crtctl = only(stage + "/**/bin/crtctl")
    unit = only(stage + "/**/examples/serialhub-metrics.service")
    collector = os.path.join(work, "textfile")
    os.makedirs(collector)
    command = exec_start(unit, collector, crtctl[len(stage):], crtctl)
    service = subprocess.run(command, env=env, capture_output=True, text=True)
    if service.returncode != 0 or os.listdir(collector) != ["serialhub.prom"]:
        fail("the unit's command failed (%d) or left %s: %s" % (service.returncode, os.listdir(collector),
                                                                 service.stderr))
    port = free_port()
    exporter = subprocess.Popen(["prometheus-node-exporter", "--collector.disable-defaults", "--collector.textfile",
                                 "--collector.textfile.directory=" + collector,
                                 "--web.listen-address=127.0.0.1:%d" % port],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    def served():
        if exporter.poll() is not None:
            fail("node_exporter ended: " + exporter.stderr.read())
        return scrape(port)
    try:
        page = wait_for(served, "answer from node_exporter")
        got = samples("\n".join(l for l in page.splitlines() if l.startswith(("serialhub_", "node_textfile_scrape"))))
        if got.get('serialhub_frames_total{channel="2"}') != 3 or got.get("node_textfile_scrape_error") != 0:
            fail("node_exporter does not serve the daemon's counters:\n" + page)
    finally:
        exporter.terminate()
        exporter.wait(timeout=10)


def main():
    build = os.path.abspath(sys.argv[1])
    for tool in ("promtool", "prometheus-node-exporter"):
        if shutil.which(tool) is None:
            fail(tool + " is not installed (scripts/deps.sh installs it)")
    with tempfile.TemporaryDirectory() as work:
        stage = os.path.join(work, "stage")
        subprocess.run(["cmake", "--install", build], check=True, stdout=subprocess.DEVNULL,
                       env={**os.environ, "DESTDIR": stage})
        crtctl = only(stage + "/**/bin/crtctl")

        # No daemon ever ran: the up gauge alone, and success.
        nothing = {**os.environ, "CE_OBJECTS": os.path.join(work, "no-daemon-yet")}
        down = subprocess.run([crtctl, "metrics"], env=nothing, capture_output=True, text=True)
        if down.returncode != 0 or samples(down.stdout) != {"serialhub_up": 0} or down.stderr:
            fail("metrics without a daemon: %d %r %r" % (down.returncode, down.stdout, down.stderr))
        promtool_accepts(down.stdout)
        # Output lost to a full disk is a failure, not a file cut short.
        with open("/dev/full", "w") as full:
            lost = subprocess.run([crtctl, "metrics"], env=nothing, stdout=full, stderr=subprocess.PIPE, text=True)
        if lost.returncode != 1 or "cannot write its output" not in lost.stderr:
            fail("metrics into a full disk ended with %d: %s" % (lost.returncode, lost.stderr))

        bin_dir = os.path.join(work, "bin")
        os.makedirs(bin_dir)
        shutil.copy(only(stage + "/**/libexec/serialhub/serialhub"), bin_dir)
        with open(os.path.join(bin_dir, "ctl_rt.st"), "w") as routes:
            routes.write(ROUTES)
        daemon = StagedDaemon(work, [os.path.join(bin_dir, "serialhub")])
        try:
            if not daemon.ready():
                fail("the staged daemon did not announce READY=1")
            check_watch(crtctl, daemon.env, daemon.master)
            check_metrics(crtctl, daemon.env)
            check_node_exporter(stage, work, daemon.env)
            if daemon.stop() != 0:
                fail("the staged daemon did not stop with 0")
        finally:
            daemon.close()
    print("metrics_test: watch --json, stats --json, metrics and the shipped timer's service work")


if __name__ == "__main__":
    main()
