#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""Whole-process figures of serialhub through a pty (a script, not a test).

Latency: from the peer's write of the last byte of a 6-byte frame to the
moment another process (bench/latency_probe, a client waiting on the channel
event) wakes and sees the frame; random gaps of 1-2 ms. The same path without the daemon (pty to a
reading process) is measured as the baseline, so the difference is the
daemon's own share. Then idle wake-ups and CPU over 10 s, and Private_Dirty.
Usage: bench/serial_latency.py [build dir, default build/plain] [frames]
"""
import os, random, socket, struct, subprocess, sys, tempfile, threading, time, tty

build = sys.argv[1] if len(sys.argv) > 1 else "build/plain"
frames = int(sys.argv[2]) if len(sys.argv) > 2 else 3000


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))]


def summary(name, us):
    print(f"{name}: p50 {pct(us,50):.0f} us  p90 {pct(us,90):.0f} us  p99 {pct(us,99):.0f} us  max {max(us):.0f} us  (n={len(us)})")


def sender(master, stamps):
    for seq in range(frames):
        time.sleep(random.uniform(0.001, 0.002))
        frame = b"\xaa\x55" + struct.pack("<I", seq)
        os.write(master, frame[:5])
        stamps[seq] = time.monotonic_ns()  # taken before the last byte goes
        os.write(master, frame[5:])


def baseline():
    master, slave = os.openpty()
    tty.setraw(slave)
    stamps, seen = [0] * frames, [0] * frames
    t = threading.Thread(target=sender, args=(master, stamps))
    t.start()
    buf = b""
    while t.is_alive() or buf:
        buf += os.read(slave, 4096)
        while len(buf) >= 6:
            now = time.monotonic_ns()
            seq = struct.unpack("<I", buf[2:6])[0]
            seen[seq] = now
            buf = buf[6:]
        if seen[-1]:
            break
    t.join()
    return [(s - w) / 1000 for w, s in zip(stamps, seen) if s and w]


def with_daemon():
    work = tempfile.mkdtemp(prefix="serialhub-bench-")
    root, objects, bindir = f"{work}/root", f"{work}/objects", f"{work}/bin"
    for d in (f"{root}/dev", objects, bindir):
        os.makedirs(d)
    subprocess.run(["cp", f"{build}/daemon/serialhub", bindir], check=True)
    open(f"{bindir}/ctl_rt.st", "w").write("3,aa 55,,0-0,6,bench\n")
    master, slave = os.openpty()
    tty.setraw(slave)
    os.symlink(os.ttyname(slave), f"{root}/dev/COM7")
    os.close(slave)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(f"{work}/notify")
    env = dict(os.environ, CE_ROOT=root, CE_OBJECTS=objects, NOTIFY_SOCKET=f"{work}/notify")
    daemon = subprocess.Popen([f"{bindir}/serialhub"], env=env)
    while b"READY=1" not in sock.recv(4096).split(b"\n"):  # STATUS= lines may come first
        pass
    probe = subprocess.Popen([f"{build}/bench/latency_probe", "3", str(frames)], env=env,
                             stdout=subprocess.PIPE, text=True)
    assert probe.stdout.readline().strip() == "ready"
    stamps, seen = [0] * frames, [0] * frames
    cpu0 = cpu_ticks(daemon.pid)
    sender(master, stamps)
    for line in probe.communicate(timeout=30)[0].splitlines():
        seq, now = (int(x) for x in line.split())
        if seq < frames:
            seen[seq] = now
    busy = cpu_ticks(daemon.pid) - cpu0
    print(f"daemon CPU while carrying {frames} frames: {busy * 10} ms")
    ctx0, cpu0 = switches(daemon.pid), cpu_ticks(daemon.pid)
    time.sleep(10)
    print(f"idle 10 s: {sum(switches(daemon.pid)) - sum(ctx0)} context switches (wake-ups), "
          f"{(cpu_ticks(daemon.pid) - cpu0) * 10} ms CPU")
    os.sync()  # the freshly copied program's page-cache pages would count as dirty
    for line in open(f"/proc/{daemon.pid}/smaps_rollup"):
        if line.startswith(("Private_Dirty", "Rss")):
            print(line.strip())
    mapped = {line.split()[-1] for line in open(f"/proc/{daemon.pid}/maps") if "lib" in line.split()[-1]}
    print("libraries mapped:", " ".join(sorted(p.rsplit("/", 1)[-1] for p in mapped)))
    daemon.terminate()
    print("exit code:", daemon.wait(5))
    subprocess.run(["rm", "-rf", work])
    return [(s - w) / 1000 for w, s in zip(stamps, seen) if s and w]


def cpu_ticks(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def switches(pid):
    total = [0, 0]
    for tid in os.listdir(f"/proc/{pid}/task"):
        for line in open(f"/proc/{pid}/task/{tid}/status"):
            if line.startswith("voluntary_ctxt_switches"):
                total[0] += int(line.split()[1])
            elif line.startswith("nonvoluntary_ctxt_switches"):
                total[1] += int(line.split()[1])
    return total


base = baseline()
summary("pty alone (baseline)", base)
full = with_daemon()
summary("pty -> serialhub -> event waiter", full)
print(f"lost frames: {frames - len(full)}")
print(f"daemon's own share at p50: {pct(full,50) - pct(base,50):.0f} us")
