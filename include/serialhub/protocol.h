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
 *
 * Event (CRT<N>:EVENT, CRT:WRITE:EVENT), 8 bytes, auto-reset:
 *   offset 0  u32  state  0 not signalled, anything else signalled; the
 *                         process-shared futex word
 *   offset 4  u32  magic  SHUB_EVENT_MAGIC
 *   Set: store 1, then FUTEX_WAKE one waiter. Wait: swap a non-zero state
 *   for 0; if there is none, FUTEX_WAIT while it is 0.
 */
#ifndef SERIALHUB_PROTOCOL_H
#define SERIALHUB_PROTOCOL_H

#define SHUB_OBJECTS_DEFAULT "/dev/shm/ce"

#define SHUB_BLOCK_SIZE 288u
#define SHUB_BLOCK_LENGTH_OFFSET 0u
#define SHUB_BLOCK_RESERVED_OFFSET 4u
#define SHUB_BLOCK_DATA_OFFSET 8u
#define SHUB_BLOCK_DATA_SIZE 260u
#define SHUB_BLOCK_LOCK_OFFSET 268u
#define SHUB_BLOCK_LOCK_SIZE 20u

#define SHUB_EVENT_SIZE 8u
#define SHUB_EVENT_STATE_OFFSET 0u
#define SHUB_EVENT_MAGIC_OFFSET 4u
#define SHUB_EVENT_MAGIC 0x544E5645u /* "EVNT" */

/* printf formats of a channel's names, N a signed decimal channel number. */
#define SHUB_CHANNEL_BLOCK_FORMAT "CRT%d"
#define SHUB_CHANNEL_EVENT_FORMAT "CRT%d:EVENT"
#define SHUB_WRITE_BLOCK_NAME "CRT:WRITE"
#define SHUB_WRITE_EVENT_NAME "CRT:WRITE:EVENT"

#endif
