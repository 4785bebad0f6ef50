// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
/*
 * serialhub's named objects as every process sees them: the daemon, the
 * client library, crtctl and any program of the device that uses a channel.
 * Plain C, so that C programs and foreign-function bindings can use it too.
 *
 * Objects are files in $CE_OBJECTS (default /dev/shm/ce), one per name.
 *
 * Block (channel CRT<N>, or the write block CRT:WRITE), 288 bytes,
 * little-endian:
 *   offset   0  u32  length    valid bytes in the data area
 *   offset   4  u32  reserved  never written by the daemon
 *   offset   8  260  data      frame byte k is block byte 8 + k
 *   offset 268  20   lock area an unowned lock record; the daemon never takes it
 * Lock record, 20 bytes: clients may use it to coordinate their own access;
 * the daemon only writes an unowned one (zeros, then the magic):
 *   offset  0  u32  owner      0 unowned, else the owner's process id
 *   offset  4  u32  recursion  times the owner has taken it
 *   offset  8  u32  waiters    processes blocked on the owner word (a futex word)
 *   offset 12  u32  reserved   always 0
 *   offset 16  u32  magic      SHUB_LOCK_MAGIC once initialised
 *
 * CRT:WRITE holds one message at a time. Writers take turns by an exclusive
 * flock on its file, wait until the block is free (length word 0 or
 * SHUB_WRITE_NOT_SENT), store the data, the length, then set CRT:WRITE:EVENT,
 * and keep the lock until the daemon has written the length word again
 * (FUTEX_WAKE of all on it): 0 once every byte went out of the port,
 * SHUB_WRITE_NOT_SENT when the line did not take them all within its write
 * time-out. A writer that gives up before the daemon took its message swaps
 * the event's 1 back to 0 itself; if that fails, the daemon has it.
 *
 * Event (CRT<N>:EVENT, CRT:WRITE:EVENT), 8 bytes, auto-reset:
 *   offset 0  u32  state  0 not signalled, anything else signalled; the
 *                         process-shared futex word
 *   offset 4  u32  magic  SHUB_EVENT_MAGIC
 *   Set: store 1, then FUTEX_WAKE one waiter. Wait: swap a non-zero state
 *   for 0; if there is none, FUTEX_WAIT while it is 0.
 *
 * Status (CRT:STATUS), 512 bytes, the daemon's own object; written by the
 * daemon only, except the watcher count:
 *   offset   0  u32  magic      SHUB_STATUS_MAGIC, stored last at start-up
 *   offset   4  u32  version    SHUB_STATUS_VERSION
 *   offset   8  u32  entries    route entries in use, 0 to 10
 *   offset  12  u32  watchers   peekers waiting; each adds 1, removes it at close
 *   offset  16  u32  wake       futex word: bumped and FUTEX_WAKE all after a
 *                               frame, only while watchers is not 0
 *   offset  20  u32  power      0 on battery, 1 on mains, 2 not known yet
 *   offset  24  u32  backlight  0 off, 1 on
 *   offset  32  u64  noise bytes skipped while searching for a header
 *   offset  40  u64  frames of entry 0 dropped while the screen was dark
 *   offset  48  u64  frames discarded for outgrowing the data area
 *   offset  56  u64  serial port opens
 *   offset  64  u64  serial port hang-ups
 *   offset  72  u32  port open  1 while COM7 is open, 0 while it is looked for
 *   offset  80  u64  route file reloads taken into use
 *   offset  88  u64  frames being collected when a reload took effect, dropped
 *   offset 128  10 route entries of 32 bytes, in route-file order:
 *     +0   i32  channel    N of CRT<N>
 *     +4   u32  version    seqlock word of the block CRT<N>: odd while the
 *                          daemon writes it; kept in the first entry of N
 *     +8   u64  seq        sequence number of the last frame put in CRT<N>,
 *                          also kept in the first entry of N; 1 before the
 *                          first frame, so 0 never names a frame
 *     +16  u64  frames     frames delivered by this entry
 *     +24  u64  bytes      bytes of those frames
 *   The daemon holds an exclusive flock on the file while it runs: a shared
 *   non-blocking flock that fails means a daemon is alive. Sequence numbers
 *   go on across daemon restarts; the counters start from 0 at each start.
 *
 * Tap (CRT:TAP), 64 + 65536 bytes, the daemon's own object: every read of
 * the serial port as it arrived, in a ring; written by the serial reader
 * only, read by recorders, which never write it:
 *   offset  0  u32  magic    SHUB_TAP_MAGIC, stored last at start-up
 *   offset  4  u32  version  SHUB_TAP_VERSION
 *   offset  8  u32  size     bytes of the ring, a power of two (65536)
 *   offset 16  u64  head     ring bytes written: the end of the last whole
 *                            record; stored (release) after the record
 *   offset 24  u64  claim    the end of the record being written; stored
 *                            before its bytes: ring bytes below claim - size
 *                            may be overwritten, so a reader that copied from
 *                            there checks claim after its copy
 *   offset 32  u64  line     bytes read from the line; stored before head
 *   offset 64  the ring: ring byte p lives at 64 + p mod size
 *   Records start at multiples of 8 and may wrap at the end of the ring:
 *     +0   u64  time   CLOCK_MONOTONIC microseconds when the read returned
 *     +8   u16  count  bytes read, 1 to 260 (0 for a hang-up)
 *     +10  u16  kind   SHUB_TAP_READ, or SHUB_TAP_HANGUP: the line hung up
 *     +12  u32  line   line position of the first byte, modulo 2^32: a jump
 *                      between records is a stretch the reader missed
 *     +16  the bytes, then zeros up to a multiple of 8
 *   head, claim and line go on across daemon restarts.
 *
 * Monitor socket (CRT:MONITOR), a Unix seqpacket socket the daemon listens
 * on while it runs; mode 0660 like the objects, never a link. A monitor
 * connects and sends one subscribe message, little-endian like the rest:
 *   +0   u32  magic    SHUB_MONITOR_MAGIC
 *   +4   u32  version  SHUB_MONITOR_VERSION
 *   +8   u32  count    channels asked for, 0 to SHUB_MONITOR_CHANNELS_MAX;
 *                      0: every channel the daemon routes
 *   +12  i32  channels[count]
 * The daemon answers with one message of the same form, the magic, the
 * version, then in place of the count an errno value: 0, ENOENT (a channel it
 * does not route), EUSERS (SHUB_MONITOR_MAX monitors are connected) or EINVAL
 * (a malformed request); it closes the connection after an error. Then it sends
 * every frame it delivers to those channels as one datagram, in delivery
 * order, never waiting for the monitor: a frame the monitor's queue has no
 * room for is dropped, and the gap in the channel's sequence numbers tells:
 *   +0   i32  channel
 *   +4   u32  length   0 to SHUB_BLOCK_DATA_SIZE
 *   +8   u64  seq      the channel's sequence number, as in CRT:STATUS; 0
 *                      when the daemon runs without its status object
 *   +16  i64  time     CLOCK_REALTIME nanoseconds when the read that ended
 *                      the frame returned
 *   +24  i64  mono     the same moment on CLOCK_MONOTONIC
 *   +32  the frame's bytes
 * The connection ends when the daemon stops or dies.
 */
#ifndef SERIALHUB_PROTOCOL_H
#define SERIALHUB_PROTOCOL_H

#define SHUB_OBJECTS_DEFAULT "/dev/shm/ce"
#define SHUB_SERIAL_NODE "COM7" /* the serial port's node in $CE_ROOT/dev */

#define SHUB_BLOCK_SIZE 288u
#define SHUB_BLOCK_LENGTH_OFFSET 0u
#define SHUB_BLOCK_RESERVED_OFFSET 4u
#define SHUB_BLOCK_DATA_OFFSET 8u
#define SHUB_BLOCK_DATA_SIZE 260u
#define SHUB_BLOCK_LOCK_OFFSET 268u
#define SHUB_BLOCK_LOCK_SIZE 20u
#define SHUB_LOCK_OWNER_OFFSET 0u
#define SHUB_LOCK_RECURSION_OFFSET 4u
#define SHUB_LOCK_WAITERS_OFFSET 8u
#define SHUB_LOCK_MAGIC_OFFSET 16u
#define SHUB_LOCK_MAGIC 0x4B434F4Cu /* "LOCK" */
#define SHUB_WRITE_NOT_SENT 0xFFFFFFFFu /* length word of CRT:WRITE after a write the line refused */

#define SHUB_EVENT_SIZE 8u
#define SHUB_EVENT_STATE_OFFSET 0u
#define SHUB_EVENT_MAGIC_OFFSET 4u
#define SHUB_EVENT_MAGIC 0x544E5645u /* "EVNT" */

/* printf formats of a channel's names, N a signed decimal channel number. */
#define SHUB_CHANNEL_BLOCK_FORMAT "CRT%d"
#define SHUB_CHANNEL_EVENT_FORMAT "CRT%d:EVENT"
#define SHUB_WRITE_BLOCK_NAME "CRT:WRITE"
#define SHUB_WRITE_EVENT_NAME "CRT:WRITE:EVENT"

#define SHUB_STATUS_NAME "CRT:STATUS"
#define SHUB_STATUS_SIZE 512u
#define SHUB_STATUS_MAGIC 0x54415453u /* "STAT" */
#define SHUB_STATUS_VERSION 1u
#define SHUB_STATUS_MAGIC_OFFSET 0u
#define SHUB_STATUS_VERSION_OFFSET 4u
#define SHUB_STATUS_ENTRIES_OFFSET 8u
#define SHUB_STATUS_WATCHERS_OFFSET 12u
#define SHUB_STATUS_WAKE_OFFSET 16u
#define SHUB_STATUS_POWER_OFFSET 20u
#define SHUB_STATUS_BACKLIGHT_OFFSET 24u
#define SHUB_STATUS_NOISE_OFFSET 32u
#define SHUB_STATUS_DARK_OFFSET 40u
#define SHUB_STATUS_OVERLONG_OFFSET 48u
#define SHUB_STATUS_PORT_OPENS_OFFSET 56u
#define SHUB_STATUS_HANGUPS_OFFSET 64u
#define SHUB_STATUS_PORT_OPEN_OFFSET 72u
#define SHUB_STATUS_RELOADS_OFFSET 80u
#define SHUB_STATUS_RELOAD_CUT_OFFSET 88u
#define SHUB_STATUS_ENTRY_OFFSET 128u
#define SHUB_STATUS_ENTRY_SIZE 32u
#define SHUB_STATUS_ENTRY_COUNT 10u
#define SHUB_STATUS_ENTRY_CHANNEL 0u
#define SHUB_STATUS_ENTRY_VERSION 4u
#define SHUB_STATUS_ENTRY_SEQ 8u
#define SHUB_STATUS_ENTRY_FRAMES 16u
#define SHUB_STATUS_ENTRY_BYTES 24u
#define SHUB_STATUS_POWER_BATTERY 0u
#define SHUB_STATUS_POWER_MAINS 1u
#define SHUB_STATUS_POWER_UNKNOWN 2u

#define SHUB_TAP_NAME "CRT:TAP"
#define SHUB_TAP_MAGIC 0x52504154u /* "TAPR" */
#define SHUB_TAP_VERSION 1u
#define SHUB_TAP_HEADER_SIZE 64u
#define SHUB_TAP_RING_SIZE 65536u
#define SHUB_TAP_SIZE (SHUB_TAP_HEADER_SIZE + SHUB_TAP_RING_SIZE)
#define SHUB_TAP_MAGIC_OFFSET 0u
#define SHUB_TAP_VERSION_OFFSET 4u
#define SHUB_TAP_RING_SIZE_OFFSET 8u
#define SHUB_TAP_HEAD_OFFSET 16u
#define SHUB_TAP_CLAIM_OFFSET 24u
#define SHUB_TAP_LINE_OFFSET 32u
#define SHUB_TAP_READ_MAX 260u /* bytes of one read of the serial port, at most */
#define SHUB_TAP_RECORD_HEADER_SIZE 16u
#define SHUB_TAP_RECORD_TIME 0u
#define SHUB_TAP_RECORD_COUNT 8u
#define SHUB_TAP_RECORD_KIND 10u
#define SHUB_TAP_RECORD_LINE 12u
#define SHUB_TAP_READ 0u
#define SHUB_TAP_HANGUP 1u

#define SHUB_MONITOR_NAME "CRT:MONITOR"
#define SHUB_MONITOR_MAGIC 0x494E4F4Du /* "MONI" */
#define SHUB_MONITOR_VERSION 1u
#define SHUB_MONITOR_CHANNELS_MAX 64u /* channels one subscribe message may name */
#define SHUB_MONITOR_MAX 256u         /* monitors the daemon serves at once */
#define SHUB_MONITOR_REQUEST_HEADER 12u
#define SHUB_MONITOR_FRAME_HEADER 32u
#define SHUB_MONITOR_FRAME_CHANNEL 0u
#define SHUB_MONITOR_FRAME_LENGTH 4u
#define SHUB_MONITOR_FRAME_SEQ 8u
#define SHUB_MONITOR_FRAME_TIME 16u
#define SHUB_MONITOR_FRAME_MONO 24u

#endif
