// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
/*
 * libserialhub: use serialhub's channels from any program of the device.
 * Link with `pkg-config --libs serialhub`; see libserialhub(3).
 *
 * Every call returns -1 (or NULL) with errno set on failure. Nothing here
 * creates a named object: the daemon makes them all.
 */
#ifndef SERIALHUB_CHANNEL_H
#define SERIALHUB_CHANNEL_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <serialhub/protocol.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define SHUB_API __attribute__((visibility("default")))
#else
#define SHUB_API
#endif

typedef struct shub_channel shub_channel;

/* Opens CRT<channel> and CRT<channel>:EVENT in $CE_OBJECTS (default
 * /dev/shm/ce). NULL with errno: ENOENT no such channel (or no objects
 * folder), EACCES not allowed, EINVAL a file there that is not the object. */
SHUB_API shub_channel *shub_channel_open(int channel);
SHUB_API void shub_channel_close(shub_channel *ch);

/* Waits for the channel's event and consumes its signal, as every consumer
 * does (the daemon's own consumers of channels 1 and 4 included). Copies at
 * most `cap` bytes of the frame and returns the frame's length (0 to 260; a
 * length above cap means the copy was cut). 0 on time-out; timeout_ms < 0
 * waits for ever. -1 with errno: ENOTCONN when no daemon has held the status
 * object CRT:STATUS for half a second (it died or was stopped; a restart is
 * waited through), EINTR when a signal handler interrupted the wait, EIO when
 * another process truncated the channel's objects. */
SHUB_API int shub_channel_wait(shub_channel *ch, int timeout_ms, void *buf, size_t cap);

/* Waits for a frame newer than *seq without taking any signal (*seq == 0:
 * the next frame delivered after the call), copies it whole and consistent,
 * and sets *seq to its sequence number; shub_frames_missed() says how many
 * frames went by between two. On time-out *seq is set to the sequence number
 * the wait started from, so a call with timeout 0 and *seq == 0 takes a
 * starting point. Returns as shub_channel_wait, with ENOTCONN also when no
 * daemon has made CRT:STATUS, and EINVAL when the file there is not one. */
SHUB_API int shub_channel_peek(shub_channel *ch, int timeout_ms, void *buf, size_t cap, uint64_t *seq);

/* Copies the channel's whole block as it is now, at most `size` of its
 * SHUB_BLOCK_SIZE bytes (length word, reserved word, data area, lock area; see
 * serialhub/protocol.h), without waiting and without taking a signal. While
 * the daemon lists the channel the copy is consistent: never two frames mixed.
 * Returns the bytes copied; -1 with errno: EINVAL, EIO when another process
 * truncated the block. */
SHUB_API int shub_channel_read(shub_channel *ch, void *block, size_t size);

/* Sets, or waits for and consumes the signal of, any named event in
 * $CE_OBJECTS (CRT<N>:EVENT, CRT:WRITE:EVENT, ...). shub_event_wait returns 1
 * signalled, 0 on time-out (timeout_ms < 0 waits for ever). -1 with errno:
 * ENOENT no such event, EACCES not allowed, EINVAL a file there that is not
 * an event, EINTR when a signal handler interrupted the wait. */
SHUB_API int shub_event_set(const char *name);
SHUB_API int shub_event_wait(const char *name, int timeout_ms);

/* A monitor: every frame of some channels, in the order the daemon delivered
 * them, through one file descriptor an application's own event loop can wait
 * on (poll, epoll, GLib, Qt, asyncio). It takes no signal from any consumer,
 * and a monitor that falls behind loses frames (counted in `missed`) without
 * slowing the daemon or anyone else. No thread, no signal handler. */
typedef struct shub_frame {
  int32_t channel;
  uint32_t length;      /* bytes in data, 0 to 260 */
  uint64_t seq;         /* the channel's sequence number of this frame */
  uint64_t missed;      /* frames of this channel this monitor did not get, since its previous one */
  struct timespec time; /* CLOCK_REALTIME when the frame's last byte was read from the line */
  struct timespec mono; /* the same moment on CLOCK_MONOTONIC */
  uint8_t data[SHUB_BLOCK_DATA_SIZE];
} shub_frame;

typedef struct shub_monitor shub_monitor;

/* Subscribes to `count` channels (count 0: every channel the daemon routes)
 * through the daemon's socket CRT:MONITOR in $CE_OBJECTS; every frame the
 * daemon delivers after the call returns is the monitor's. NULL with errno:
 * ENOTCONN no daemon is running, ENOENT a channel the daemon does not route,
 * EUSERS SHUB_MONITOR_MAX monitors are connected, EACCES not allowed, EINVAL
 * more than SHUB_MONITOR_CHANNELS_MAX channels or a file there that is not the
 * daemon's socket, ETIMEDOUT the daemon did not answer within 2 s. */
SHUB_API shub_monitor *shub_monitor_open(const int *channels, size_t count);

/* Readable (POLLIN) whenever shub_monitor_next(m, 0, ...) would return a
 * frame, or would fail because the daemon went away. Owned by the monitor:
 * do not read it or close it. */
SHUB_API int shub_monitor_fd(const shub_monitor *m);

/* The next frame into *out: 1, or 0 when timeout_ms passed (0 does not wait,
 * < 0 waits for ever). -1 with errno: ENOTCONN the daemon stopped or died
 * (every later call says so too: close the monitor and open a new one once a
 * daemon runs again), EINTR a signal handler interrupted the wait, EPROTO
 * the daemon sent what no frame looks like, EINVAL a null argument. */
#if defined(__USE_TIME_BITS64) && !defined(SHUB_BUILDING_LIBRARY)
/* A 32-bit program built with a 64-bit time_t has wider timespecs in
 * shub_frame: it is linked to the entry that fills that layout. */
SHUB_API int shub_monitor_next(shub_monitor *m, int timeout_ms, shub_frame *out) __asm__("shub_monitor_next_time64");
#else
SHUB_API int shub_monitor_next(shub_monitor *m, int timeout_ms, shub_frame *out);
#endif

SHUB_API void shub_monitor_close(shub_monitor *m);

/* Frames that went by unseen between two peeked frames numbered `previous`
 * and `seq`. 0 when previous is 0, when seq is not above it (the numbering
 * began anew with a new status object), or when the gap is beyond what a line
 * could carry (another process wrote the number). */
SHUB_API uint64_t shub_frames_missed(uint64_t previous, uint64_t seq);

/* Hands 1 to SHUB_BLOCK_DATA_SIZE (260) bytes to the serial port through
 * CRT:WRITE and returns 0 once the daemon has written them to the port. A
 * write never replaces one the daemon has not taken, whichever process made
 * it: it waits for its turn and for the daemon to take it, at most
 * SHUB_WRITE_TIMEOUT_MS (2 s), then for the line, at most its write time-out
 * (40 ms a byte and 10 ms). -1 with errno: EMSGSIZE above 260, EINVAL for
 * none, and, with nothing sent: ENOTCONN when no daemon is running,
 * ETIMEDOUT when the daemon did not take the bytes in time (COM7 is missing,
 * the line is stalled by earlier bytes, or the daemon is stopped); ECOMM when
 * the line did not take them all within its time-out (some may have gone
 * out); EIO when another process truncated the write objects. */
SHUB_API int shub_write(const void *bytes, size_t count);
#define SHUB_WRITE_TIMEOUT_MS 2000

/* One route entry's counters. */
typedef struct shub_entry_status {
  int32_t channel;
  uint32_t reserved;
  uint64_t seq;    /* last frame's sequence number of the channel */
  uint64_t frames; /* frames this entry delivered since the daemon started */
  uint64_t bytes;
} shub_entry_status;

/* What the status object CRT:STATUS shows. */
typedef struct shub_status {
  uint32_t daemon_alive; /* 1 while a daemon holds the status object */
  uint32_t power;        /* SHUB_STATUS_POWER_* */
  uint32_t backlight;    /* 0 off, 1 on */
  uint32_t watchers;
  uint64_t noise_bytes;
  uint64_t dark_frames;
  uint64_t overlong_frames;
  uint64_t port_opens;
  uint64_t hangups;
  uint32_t entry_count;
  uint32_t port_open; /* 1 while COM7 is open, 0 while the daemon looks for it */
  shub_entry_status entries[SHUB_STATUS_ENTRY_COUNT];
} shub_status;

/* Copies the daemon's counters. -1 with ENOTCONN when no daemon has made the
 * status object, EINVAL when the file there is not one. */
SHUB_API int shub_stats(shub_status *out);

#ifdef __cplusplus
}
#endif

#endif
