"""serialhub's channels from Python: a thin ctypes layer over libserialhub.

The library is loaded by its soname, libserialhub.so.1, through the dynamic
loader, so LD_LIBRARY_PATH finds a staged install. See libserialhub(3).

    import serialhub
    with serialhub.Channel(3) as ch:
        frame = ch.peek(timeout=1.0)   # bytes, or None after the time-out
    serialhub.write(b"\\xaa\\x44\\x03\\x00")
    print(serialhub.stats()["entries"])
"""
import ctypes
import errno
import os
import time

__all__ = ["Channel", "write", "stats", "FRAME_MAX"]

FRAME_MAX = 260
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


_lib.shub_channel_open.restype = ctypes.c_void_p
_lib.shub_channel_open.argtypes = [ctypes.c_int]
_lib.shub_channel_close.restype = None
_lib.shub_channel_close.argtypes = [ctypes.c_void_p]
_lib.shub_channel_wait.restype = ctypes.c_int
_lib.shub_channel_wait.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t]
_lib.shub_channel_peek.restype = ctypes.c_int
_lib.shub_channel_peek.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t,
                                   ctypes.POINTER(ctypes.c_uint64)]
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


class Channel:
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

    def close(self):
        if self._handle:
            _lib.shub_channel_close(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()


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
