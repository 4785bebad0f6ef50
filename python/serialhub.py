# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
"""serialhub's channels from Python: a thin ctypes layer over libserialhub.

The library is loaded by its soname, libserialhub.so.1, through the dynamic
loader, so LD_LIBRARY_PATH finds a staged install. See libserialhub(3).

    import serialhub
    with serialhub.Channel(3) as ch:
        frame = ch.peek(timeout=1.0)   # bytes, or None after the time-out
    serialhub.write(b"\\xaa\\x44\\x03\\x00")
    print(serialhub.stats()["entries"])
    with serialhub.Monitor([1, 4]) as monitor:
        for frame in monitor:          # or: async for frame in monitor.frames()
            print(frame.channel, frame.seq, frame.missed, frame.data.hex())
"""
import asyncio
import collections
import ctypes
import errno
import math
import os
import select
import time

__all__ = ["Channel", "Monitor", "Frame", "write", "stats", "event_set", "event_wait", "FRAME_MAX", "BLOCK_SIZE"]

FRAME_MAX = 260
BLOCK_SIZE = 288
_ENTRIES = 10

_lib = ctypes.CDLL("libserialhub.so.1", use_errno=True)


class _EntryStats(ctypes.Structure):
    _fields_ = [("channel", ctypes.c_int32), ("reserved", ctypes.c_uint32), ("seq", ctypes.c_uint64),
                ("frames", ctypes.c_uint64), ("bytes", ctypes.c_uint64)]


class _Stats(ctypes.Structure):
    _fields_ = [("daemon_alive", ctypes.c_uint32), ("power", ctypes.c_uint32), ("backlight", ctypes.c_uint32),
                ("watchers", ctypes.c_uint32), ("noise_bytes", ctypes.c_uint64), ("dark_frames", ctypes.c_uint64),
                ("overlong_frames", ctypes.c_uint64), ("port_opens", ctypes.c_uint64), ("hangups", ctypes.c_uint64),
                ("entry_count", ctypes.c_uint32), ("port_open", ctypes.c_uint32),
                ("entries", _EntryStats * _ENTRIES)]


class _Timespec(ctypes.Structure):
    # struct timespec: two C longs on Linux
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


class _Frame(ctypes.Structure):
    _fields_ = [("channel", ctypes.c_int32), ("length", ctypes.c_uint32), ("seq", ctypes.c_uint64),
                ("missed", ctypes.c_uint64), ("time", _Timespec), ("mono", _Timespec),
                ("data", ctypes.c_uint8 * FRAME_MAX)]


_lib.shub_channel_open.restype = ctypes.c_void_p
_lib.shub_channel_open.argtypes = [ctypes.c_int]
_lib.shub_channel_close.restype = None
_lib.shub_channel_close.argtypes = [ctypes.c_void_p]
_lib.shub_channel_wait.restype = ctypes.c_int
_lib.shub_channel_wait.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t]
_lib.shub_channel_peek.restype = ctypes.c_int
_lib.shub_channel_peek.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t,
                                   ctypes.POINTER(ctypes.c_uint64)]
_lib.shub_channel_read.restype = ctypes.c_int
_lib.shub_channel_read.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
_lib.shub_event_set.restype = ctypes.c_int
_lib.shub_event_set.argtypes = [ctypes.c_char_p]
_lib.shub_event_wait.restype = ctypes.c_int
_lib.shub_event_wait.argtypes = [ctypes.c_char_p, ctypes.c_int]
_lib.shub_monitor_open.restype = ctypes.c_void_p
_lib.shub_monitor_open.argtypes = [ctypes.POINTER(ctypes.c_int), ctypes.c_size_t]
_lib.shub_monitor_fd.restype = ctypes.c_int
_lib.shub_monitor_fd.argtypes = [ctypes.c_void_p]
_lib.shub_monitor_next.restype = ctypes.c_int
_lib.shub_monitor_next.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(_Frame)]
_lib.shub_monitor_close.restype = None
_lib.shub_monitor_close.argtypes = [ctypes.c_void_p]
_lib.shub_frames_missed.restype = ctypes.c_uint64
_lib.shub_frames_missed.argtypes = [ctypes.c_uint64, ctypes.c_uint64]
_lib.shub_write.restype = ctypes.c_int
_lib.shub_write.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
_lib.shub_stats.restype = ctypes.c_int
_lib.shub_stats.argtypes = [ctypes.POINTER(_Stats)]


def _error(what, number=None):
    """OSError for the library's errno; ConnectionError when no daemon runs."""
    number = ctypes.get_errno() if number is None else number
    kind = ConnectionError if number == errno.ENOTCONN else OSError
    return kind(number, "%s: %s" % (what, os.strerror(number)))


# A wait returns to Python at least this often: a signal that came just before
# the library began to sleep interrupts nothing, and is seen only here.
_SLICE = 0.1


def _check_channel(number):
    """A channel number ctypes would otherwise cut down to a C int silently."""
    if not isinstance(number, int) or not -2**31 <= number < 2**31:
        raise ValueError("not a channel number: %r" % (number,))


def _call(timeout, call, what):
    """Runs call(milliseconds) in slices until it gives a result or `timeout`
    seconds (None: no limit) passed; 0 then. Signals are seen between slices
    (a handler that raises, such as KeyboardInterrupt's, raises here), and a
    slice a signal interrupted (EINTR) is simply the end of that slice."""
    deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
    while True:
        left = _SLICE if deadline is None else min(_SLICE, max(0.0, deadline - time.monotonic()))
        n = call(int(left * 1000))
        if n > 0:
            return n
        if n < 0 and ctypes.get_errno() != errno.EINTR:
            raise _error(what, ctypes.get_errno())
        if deadline is not None and time.monotonic() >= deadline:
            return 0


class _Closed:
    """A context manager that closes what it holds, also when dropped."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()


class Channel(_Closed):
    """The channel CRT<n>: wait() consumes its event's signal like every
    consumer; peek() takes no signal and keeps its own sequence number, so
    `missed` tells how many frames went by unseen before the last one."""

    def __init__(self, number):
        self._handle = None
        _check_channel(number)
        self.number = number
        self.seq = 0
        self.missed = 0
        self._buffer = ctypes.create_string_buffer(FRAME_MAX)
        self._handle = _lib.shub_channel_open(number)
        if not self._handle:
            raise _error("CRT%d" % number)

    def _check_open(self):
        if not self._handle:
            raise ValueError("channel CRT%d is closed" % self.number)

    def wait(self, timeout=None):
        """The next frame as bytes, or None when `timeout` seconds passed.
        ConnectionError when the daemon is gone."""
        self._check_open()
        n = _call(timeout, lambda ms: _lib.shub_channel_wait(self._handle, ms, self._buffer, FRAME_MAX),
                  "waiting on CRT%d" % self.number)
        return self._buffer.raw[:n] if n > 0 else None

    def peek(self, timeout=None):
        """A frame newer than the last one peeked, or None after `timeout` seconds.
        ConnectionError when the daemon is gone."""
        self._check_open()
        seq = ctypes.c_uint64(self.seq)

        def call(ms):
            n = _lib.shub_channel_peek(self._handle, ms, self._buffer, FRAME_MAX, ctypes.byref(seq))
            self.seq, previous = seq.value, self.seq  # from 0: the starting point the library took
            if n > 0:
                self.missed = _lib.shub_frames_missed(previous, seq.value)
            return n

        n = _call(timeout, call, "peeking at CRT%d" % self.number)
        return self._buffer.raw[:n] if n > 0 else None

    def read(self):
        """The channel's whole block as it is now, BLOCK_SIZE bytes (length word,
        reserved word, data area, lock area), without waiting or taking a signal."""
        self._check_open()
        block = ctypes.create_string_buffer(BLOCK_SIZE)
        n = _lib.shub_channel_read(self._handle, block, BLOCK_SIZE)
        if n < 0:
            raise _error("reading CRT%d" % self.number)
        return block.raw[:n]

    def close(self):
        if self._handle:
            _lib.shub_channel_close(self._handle)
            self._handle = None


def write(data):
    """Hands 1 to 260 bytes to the serial port and returns once the daemon
    wrote them to it. ConnectionError without a daemon and TimeoutError when
    it did not take them within 2 s (nothing is sent then); OSError (ECOMM)
    when the line did not take them all within its write time-out."""
    if isinstance(data, int):  # bytes(3) would be three zero bytes
        raise TypeError("write() takes bytes, not an int")
    data = bytes(data)
    if _lib.shub_write(data, len(data)) != 0:
        raise _error("writing to the serial port")


def stats():
    """The daemon's counters as a dict; ConnectionError when no daemon ever ran."""
    out = _Stats()
    if _lib.shub_stats(ctypes.byref(out)) != 0:
        raise _error("reading the status object")
    result = {name: getattr(out, name) for name, _ in _Stats._fields_ if name not in ("entries", "reserved")}
    result["daemon_alive"] = bool(out.daemon_alive)
    result["entries"] = [{"channel": e.channel, "seq": e.seq, "frames": e.frames, "bytes": e.bytes}
                         for e in out.entries[:out.entry_count]]
    return result


def _event_name(name):
    encoded = os.fsencode(name)
    if b"\0" in encoded:
        raise ValueError("an event name holds no NUL byte: %r" % (name,))
    return encoded


def event_set(name):
    """Sets the named event of the objects folder (CRT:WRITE:EVENT, CRT3:EVENT, ...)."""
    if _lib.shub_event_set(_event_name(name)) != 0:
        raise _error("setting %s" % name)


def event_wait(name, timeout=None):
    """Waits for the named event and consumes its signal: True, or False when
    `timeout` seconds (None: no limit) passed."""
    encoded = _event_name(name)
    return _call(timeout, lambda ms: _lib.shub_event_wait(encoded, ms), "waiting on %s" % name) > 0


Frame = collections.namedtuple("Frame", "channel seq missed time data mono length")
Frame.__doc__ = """One frame a monitor saw: its channel, the channel's sequence number
`seq`, `missed` frames of this channel the monitor did not get since its
previous one, `time` (seconds since the epoch) and `mono` (CLOCK_MONOTONIC
seconds) when its last byte was read from the line, `data` as bytes and its
`length`."""

# A poll's time-out in milliseconds fits a C int; longer waits are taken in turns.
_POLL_MAX = 86400.0


def _settle(future):
    if not future.done() and not future.get_loop().is_closed():
        future.set_result(None)


def _channel_list(channels):
    if channels is None:
        return []
    wanted = [channels] if isinstance(channels, int) else list(channels)
    if not wanted:
        raise ValueError("no channel to monitor (None monitors every channel)")
    for channel in wanted:
        _check_channel(channel)
    return wanted


class Monitor(_Closed):
    """Every frame of some channels (a number, a list of them, or None: every
    channel the daemon routes), in the order the daemon delivered them,
    taking no signal from any consumer. A monitor that falls behind loses
    frames, counted in `missed`, and never slows the daemon. ConnectionError
    says the daemon stopped or died: close the monitor and open a new one
    once a daemon runs again (a new monitor starts afresh: no frame before it
    counts as missed)."""

    def __init__(self, channels=None):
        self._handle = None
        self._reader = None  # (loop, descriptor, future) while frames() waits
        wanted = _channel_list(channels)
        array = (ctypes.c_int * max(1, len(wanted)))(*wanted)
        self._handle = _lib.shub_monitor_open(array, len(wanted))
        if not self._handle:
            raise _error("monitoring " + (", ".join("CRT%d" % c for c in wanted) or "every channel"))
        self._frame = _Frame()
        self._poll = select.poll()
        self._poll.register(self.fileno(), select.POLLIN)

    def _check_open(self):
        if not self._handle:
            raise ValueError("the monitor is closed")

    def fileno(self):
        """Readable whenever next(0) would return a frame or raise because the
        daemon went away. The monitor's own: do not read or close it."""
        self._check_open()
        return _lib.shub_monitor_fd(self._handle)

    def next(self, timeout=None):
        """The next Frame, or None when `timeout` seconds (None: no limit)
        passed. The wait is Python's own, so Ctrl-C ends it at once."""
        self._check_open()
        deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
        while True:
            n = _lib.shub_monitor_next(self._handle, 0, ctypes.byref(self._frame))
            if n > 0:
                return self._taken()
            if n < 0 and ctypes.get_errno() != errno.EINTR:
                raise _error("monitoring through CRT:MONITOR", ctypes.get_errno())
            if n == 0:
                left = _POLL_MAX if deadline is None else deadline - time.monotonic()
                if left <= 0:
                    return None
                # poll's return promises no frame (it may have timed out), so
                # the library is asked again.
                self._poll.poll(math.ceil(min(left, _POLL_MAX) * 1000))

    def _taken(self):
        f = self._frame
        length = min(f.length, FRAME_MAX)
        return Frame(f.channel, f.seq, f.missed, f.time.tv_sec + f.time.tv_nsec / 1e9,
                     bytes(f.data)[:length], f.mono.tv_sec + f.mono.tv_nsec / 1e9, length)

    def __iter__(self):
        return self

    def __next__(self):
        return self.next()

    async def frames(self):
        """The frames as an asynchronous iterator: waits through the running
        asyncio loop's reader on fileno(), without a thread. Ends when the
        monitor is closed meanwhile; one at a time per monitor."""
        loop = asyncio.get_running_loop()
        while True:
            frame = self.next(0)
            if frame is not None:
                yield frame
                continue
            if self._reader is not None:
                raise RuntimeError("the monitor's frames() are already awaited")
            # The reader is registered only while waiting: between frames the
            # descriptor may stay readable, and a standing reader would spin.
            self._reader = (loop, self.fileno(), loop.create_future())
            loop.add_reader(self._reader[1], _settle, self._reader[2])
            try:
                await self._reader[2]
            finally:
                self._stop_reader()
            if not self._handle:
                return

    def _stop_reader(self):
        if self._reader is not None:
            loop, fd, readable = self._reader
            self._reader = None
            loop.remove_reader(fd)
            _settle(readable)

    def close(self):
        if self._handle:
            self._stop_reader()  # before the descriptor goes, so the loop forgets it
            _lib.shub_monitor_close(self._handle)
            self._handle = None
