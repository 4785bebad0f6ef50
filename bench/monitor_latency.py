#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""What a monitor costs, beside the shared-block peek (a script, not a test).

Latency: from the peer's write of the last byte of a 6-byte frame to the
moment an application (bench/monitor_probe) has the frame, waiting either
with poll() on a monitor's descriptor or with shub_channel_peek() on the
block; random gaps of 1-2 ms. The two take turns in rounds over one daemon,
so whatever else loads the machine falls on both alike. The monitor's frames
carry the daemon's read time, which splits its figure at the daemon.
CPU: the daemon's time per delivered frame with 0, 8 and 64 monitors
connected (one helper process reads them all), at 2000 frames/s with one
write per frame, as a busy serial line brings them, and at full pty speed.
Memory: Private_Dirty of the idle daemon after sync: fresh, after the
latency rounds, with 64 monitors connected and after they left.
Usage: bench/monitor_latency.py [build dir, default build/plain] [frames per mode]
"""
import ctypes, os, random, struct, subprocess, sys, tempfile, time

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/plain")
frames = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
here = os.path.dirname(os.path.abspath(__file__))
probe = f"{build}/bench/monitor_probe"
CHANNEL, ROUNDS, CROWDS = 3, 6, (0, 8, 64)
PACE, PACED_SECONDS, FULL_SPEED_FRAMES = 2000, 3, 30000

# shub_stats through the Python module: it asks the loader for the soname,
# which then finds this build's library, loaded first by its path.
ctypes.CDLL(f"{build}/libserialhub/libserialhub.so.1", mode=ctypes.RTLD_GLOBAL)
sys.path.insert(0, os.path.join(here, "..", "python"))
sys.path.insert(0, os.path.join(here, "..", "scripts"))
import serialhub  # noqa: E402
from staged_daemon import StagedDaemon  # noqa: E402


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))]


def frame(seq):
    return b"\xaa\x55" + struct.pack("<I", seq & 0xFFFFFFFF)


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def start_daemon():
    """serialhub on a fresh device whose COM7 is a pty; (work, daemon, pty master, env)."""
    work = tempfile.mkdtemp(prefix="serialhub-monitor-bench-")
    bindir = f"{work}/bin"
    os.makedirs(bindir)
    subprocess.run(["cp", f"{build}/daemon/serialhub", bindir], check=True)
    with open(f"{bindir}/ctl_rt.st", "w") as routes:
        routes.write(f"{CHANNEL},aa 55,,0-0,6,bench\n")
    staged = StagedDaemon(work, [f"{bindir}/serialhub"])
    if not staged.ready():
        sys.exit("serialhub did not say READY=1")
    os.environ["CE_OBJECTS"] = staged.objects  # for shub_stats in this process
    return work, staged.process, staged.master, staged.env


def start_probe(env, *args):
    process = subprocess.Popen([probe, *map(str, args)], env=env, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline().strip()
    if line != "ready":
        sys.exit(f"monitor_probe {' '.join(map(str, args))} did not start (said {line!r})")
    return process


def latency_round(master, env, mode, count):
    """Line-to-application microseconds per frame; for the monitor also (line, daemon) split."""
    process = start_probe(env, mode, CHANNEL, count)
    stamps = [0] * count
    for seq in range(count):
        time.sleep(random.uniform(0.001, 0.002))
        data = frame(seq)
        os.write(master, data[:5])
        stamps[seq] = time.monotonic_ns()  # taken before the last byte goes
        os.write(master, data[5:])
    out, _ = process.communicate(timeout=30)
    total, line, daemon = [], [], []
    for fields in (text.split() for text in out.splitlines()):
        seq, now = int(fields[0]), int(fields[1])
        if seq >= count:
            continue
        total.append((now - stamps[seq]) / 1000)
        if len(fields) > 2:
            line.append((int(fields[2]) - stamps[seq]) / 1000)
            daemon.append((now - int(fields[2])) / 1000)
    return total, line, daemon


def delivered():
    for entry in serialhub.stats()["entries"]:
        if entry["channel"] == CHANNEL:
            return entry["frames"]
    return 0


def cpu_ns(pid):
    """The daemon's CPU time in nanoseconds, all its threads (schedstat: exact)."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            total += int(open(f"/proc/{pid}/task/{tid}/schedstat").read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended in between
    return total


def cpu_ticks(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def send_paced(master, count):
    start = time.monotonic()
    for seq in range(count):
        late = start + seq / PACE - time.monotonic()
        if late > 0:
            time.sleep(late)
        os.write(master, frame(seq))


def send_full_speed(master, count):
    write_all(master, b"".join(frame(seq) for seq in range(count)))


def cpu_run(daemon, master, env, monitors, send, count):
    """One row: the daemon's CPU over `count` frames with `monitors` reading."""
    holder = start_probe(env, "hold", monitors, CHANNEL) if monitors else None
    before, ns0, ticks0, wall0 = delivered(), cpu_ns(daemon.pid), cpu_ticks(daemon.pid), time.monotonic()
    send(master, count)
    deadline = time.monotonic() + 30
    while delivered() < before + count and time.monotonic() < deadline:
        time.sleep(0.005)
    wall = time.monotonic() - wall0
    done = delivered() - before
    ns, ticks = cpu_ns(daemon.pid) - ns0, cpu_ticks(daemon.pid) - ticks0
    got = missed = "-"
    if holder:
        words = holder.communicate(timeout=30)[0].split()  # its stdin's end tells it to stop
        got = f"{int(words[1]) / (monitors * max(done, 1)):.1%}"
        missed = words[3]
    us = ns / 1000 / max(done, 1)
    print(f"  {monitors:>8}  {done:>7}  {done / wall:>9.0f}  {ns / 1e6:>7.1f}  {ticks * 10:>7}  {us:>8.2f}  {got:>8}  {missed:>8}")
    return us


def private_dirty_kb(pid):
    time.sleep(1)  # settle: let the last wake-ups finish their work
    os.sync()  # the freshly copied program's page-cache pages would count as dirty
    for line in open(f"/proc/{pid}/smaps_rollup"):
        if line.startswith("Private_Dirty"):
            return int(line.split()[1])
    return -1


def summary(name, us):
    print(f"  {name:<38}{pct(us,50):>7.0f}{pct(us,90):>7.0f}{pct(us,99):>7.0f}{max(us):>8.0f}{len(us):>7}")


def main():
    if not os.access(probe, os.X_OK):
        sys.exit(f"{probe} is missing: scripts/build.sh plain --target monitor_probe serialhub serialhub_shared")
    work, daemon, master, env = start_daemon()
    try:
        idle_fresh = private_dirty_kb(daemon.pid)
        results = {"peek": [[], [], []], "monitor": [[], [], []]}
        per_round = max(1, frames // ROUNDS)
        for r in range(ROUNDS):
            for mode in ("peek", "monitor") if r % 2 == 0 else ("monitor", "peek"):
                for kept, new in zip(results[mode], latency_round(master, env, mode, per_round)):
                    kept.extend(new)
        peek, monitor = results["peek"][0], results["monitor"][0]
        print(f"latency, line to application, us ({ROUNDS} alternating rounds)   p50    p90    p99     max      n")
        summary("shub_channel_peek (futex)", peek)
        summary("monitor descriptor (poll)", monitor)
        summary("  monitor: line to daemon's read", results["monitor"][1])
        summary("  monitor: daemon's read to application", results["monitor"][2])
        print(f"monitor / peek: {pct(monitor,50) / pct(peek,50):.2f}x at p50 (goal <= 1.2x), "
              f"{pct(monitor,99) / pct(peek,99):.2f}x at p99")
        print(f"frames not seen: peek {ROUNDS * per_round - len(peek)}, monitor {ROUNDS * per_round - len(monitor)}")

        idle_none = private_dirty_kb(daemon.pid)
        print("\ndaemon CPU per delivered frame (all monitors read in one helper process)")
        print("  monitors   frames   frames/s   cpu ms  stat ms  us/frame  each got    missed")
        for title, send, count in ((f"{PACE} frames/s, one write per frame", send_paced, PACE * PACED_SECONDS),
                                   ("full pty speed", send_full_speed, FULL_SPEED_FRAMES)):
            print(f" {title}")
            for monitors in CROWDS:
                cpu_run(daemon, master, env, monitors, send, count)

        holder = start_probe(env, "hold", 64, CHANNEL)
        idle_crowd = private_dirty_kb(daemon.pid)
        holder.communicate(timeout=30)
        idle_after = private_dirty_kb(daemon.pid)
        print(f"\nidle Private_Dirty after sync, kB: {idle_fresh} fresh, {idle_none} after the latency rounds, "
              f"{idle_crowd} with 64 monitors connected (goal <= 256), {idle_after} after they left")
    finally:
        daemon.terminate()
        code = daemon.wait(5)
        os.close(master)
        subprocess.run(["rm", "-rf", work])
    print("daemon exit code:", code)


if __name__ == "__main__":
    main()
