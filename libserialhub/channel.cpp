// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// libserialhub's C interface over the named objects the daemon makes: a
// channel's block and event, the write block, and the status object.
//
// It runs inside other programs: no exceptions cross the C boundary (nothing
// here throws but allocation, which is caught), no thread, and every failure
// leaves errno saying why. Object files may be shrunk or scribbled on by any
// group member: mappings are guarded (a shrunk one gives EIO), and nothing read
// from them can make a call loop or overrun a buffer. Every wait sleeps in
// slices so that it notices a daemon that died, and a signal handler that
// interrupts it ends the call with EINTR, as read(2) would.
#include <serialhub/channel.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <ctime>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "libserialhub/status_reader.h"
#include "platform/client_objects.h"

struct shub_channel {
  int number = 0;
  shub::os::Block block;
  shub::os::Event event;
  shub::os::Block status;  // unmapped until a daemon has made it
  bool watching = false;    // counted in the status object's watchers
  int64_t goneSince = -1;   // since when no daemon held the alive lock; -1: one did at the last look
  // The last frame a peek returned: a sequence number that changed without a
  // new write of the block (its seqlock word unchanged) names no new frame.
  uint64_t peekedSeq = 0;
  uint32_t peekedVersion = 0;
};

// The public records are alike on x86-64, aarch64 and armhf: fixed-width
// fields at multiples of their size. shub_frame holds two timespecs, so its
// size follows the build's time_t: 320 bytes with 64-bit time (x86-64,
// aarch64, armhf built with _TIME_BITS=64), 304 with 32-bit time on armhf.
static_assert(sizeof(shub_entry_status) == 32 && offsetof(shub_entry_status, seq) == 8 &&
              offsetof(shub_entry_status, bytes) == 24);
static_assert(offsetof(shub_status, noise_bytes) == 16 && offsetof(shub_status, hangups) == 48 &&
              offsetof(shub_status, entry_count) == 56 && offsetof(shub_status, entries) == 64 &&
              sizeof(shub_status) == 64 + 32 * SHUB_STATUS_ENTRY_COUNT);
static_assert(offsetof(shub_frame, seq) == 8 && offsetof(shub_frame, missed) == 16 && offsetof(shub_frame, time) == 24 &&
              offsetof(shub_frame, data) == 24 + 2 * sizeof(timespec) &&
              sizeof(shub_frame) == (sizeof(time_t) == 8 ? 320 : 304));

namespace {

// Waits look at the daemon this often, and a peek at the block.
constexpr int64_t kSliceMs = 100;
// How long no daemon may hold the alive lock before a wait gives up on it: a
// restart takes far less, and is simply waited through.
constexpr int64_t kGoneAfterMs = 500;
// How long shub_write waits for the daemon to take what is in the write block,
// and the serial line's write time-out: 40 ms a byte, and 10 ms.
constexpr int64_t kWriteTakeMs = SHUB_WRITE_TIMEOUT_MS;
constexpr int64_t kLineMsPerByte = 40, kLineConstantMs = 10;
// A gap of sequence numbers beyond this was written by another process: no
// line carries that many frames between two looks.
constexpr uint64_t kMaxGap = uint64_t{1} << 32;

using shub::os::wordAt;

uint32_t* wordAddress(uint8_t* base, uint32_t offset) { return reinterpret_cast<uint32_t*>(base + offset); }

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(shub::os::Clock::now().time_since_epoch()).count();
}

shub::os::Clock::time_point inMs(int64_t ms) { return shub::os::Clock::now() + std::chrono::milliseconds(ms); }

int64_t deadlineOf(int timeoutMs) { return timeoutMs < 0 ? -1 : nowMs() + timeoutMs; }

// Milliseconds left, 0 when passed, -1 for no deadline.
int64_t remaining(int64_t deadline) {
  if (deadline < 0) return -1;
  const int64_t left = deadline - nowMs();
  return left > 0 ? left : 0;
}

int64_t slice(int64_t left) { return left < 0 || left > kSliceMs ? kSliceMs : left; }

int fail(int error) {
  errno = error;
  return -1;
}

// The status object, mapped on first need: the daemon may start after the
// channel was opened. False with ENOTCONN when there is none yet.
bool haveStatus(shub::os::Block& status) {
  if (!status.valid() && !(status = shub::os::Block::open(SHUB_STATUS_NAME, SHUB_STATUS_SIZE)).valid()) {
    if (errno == ENOENT) errno = ENOTCONN;
    return false;
  }
  if (!shub::lib::statusReady(status.data())) {
    errno = status.broken() ? EIO : ENOTCONN;
    return false;
  }
  return true;
}

// True once no daemon has held the status object's alive lock for
// kGoneAfterMs. Without a status object nothing can be told: false.
bool daemonGone(shub::os::Block& status, int64_t& goneSince) {
  if (!status.valid() && !(status = shub::os::Block::open(SHUB_STATUS_NAME, SHUB_STATUS_SIZE)).valid()) return false;
  const int64_t now = nowMs();
  if (shub::os::lockedByAnother(status.fd())) {
    goneSince = -1;
    return false;
  }
  if (goneSince < 0) goneSince = now;
  return now - goneSince >= kGoneAfterMs;
}

// A watcher is counted before it first looks, and the daemon is fenced once
// so that its next delivery cannot miss the count (see status_publisher.cpp).
void startWatching(shub_channel* ch) {
  if (ch->watching) return;
  wordAt(ch->status.data(), SHUB_STATUS_WATCHERS_OFFSET).fetch_add(1, std::memory_order_seq_cst);
  shub::os::fenceRegisteredProcesses();
  ch->watching = true;
}

// The frame of the channel if it is newer than `cursor`: the sequence number
// moved and the block was written since the last frame returned. Whatever
// the words hold, this never waits longer than a slice.
bool newFrame(shub_channel* ch, uint64_t cursor, uint8_t* buf, size_t cap, shub::lib::FrameCopy& copy) {
  const int entry = shub::lib::findEntry(ch->status.data(), ch->number);
  if (entry < 0) return false;
  // 1 is the number before a channel's first frame: there is nothing to copy yet.
  const uint64_t seq = shub::lib::entrySeq(ch->status.data(), entry);
  if (seq == cursor || seq < 2) return false;
  if (!shub::lib::copyConsistent(ch->status.data(), entry, ch->block.data(), buf, cap, copy, inMs(kSliceMs / 10))) {
    return false;
  }
  const bool rewritten = cursor != ch->peekedSeq || copy.version != ch->peekedVersion;
  return copy.channel == ch->number && copy.seq != cursor && copy.seq >= 2 && rewritten;
}

// The write block and its event, and the lock that lets one writer at a time
// use them; the block's descriptor holds the writers' lock.
struct WriteObjects {
  shub::os::Block status, block;
  shub::os::Event event;
  int64_t goneSince = -1;
};

// Waits until the daemon has written the outcome of the block's message into
// its length word: 0 when it went out, SHUB_WRITE_NOT_SENT when the line did
// not take it all; either leaves the block free. 0 (free), or the errno.
int waitOutcome(WriteObjects& w, int64_t deadline, uint32_t* outcome = nullptr) {
  uint32_t* length = wordAddress(w.block.data(), SHUB_BLOCK_LENGTH_OFFSET);
  for (;;) {
    if (w.block.broken() || w.event.broken()) return EIO;
    const uint32_t seen = wordAt(w.block.data(), SHUB_BLOCK_LENGTH_OFFSET).load(std::memory_order_acquire);
    if (seen == 0 || seen == SHUB_WRITE_NOT_SENT) {
      if (outcome) *outcome = seen;
      return 0;
    }
    if (daemonGone(w.status, w.goneSince)) return ENOTCONN;
    const int64_t left = remaining(deadline);
    if (left == 0) return ETIMEDOUT;
    shub::os::waitSharedWord(length, seen, inMs(slice(left)));  // a signal only costs a look
  }
}

// The block free again for the next writer, whatever its length word says.
void freeBlock(WriteObjects& w) {
  wordAt(w.block.data(), SHUB_BLOCK_LENGTH_OFFSET).store(0, std::memory_order_release);
  shub::os::wakeSharedWord(wordAddress(w.block.data(), SHUB_BLOCK_LENGTH_OFFSET), INT32_MAX);
}

// Hands `count` bytes to the daemon through the free block; 0 once they went
// out of the port, else the errno, with the block left free.
int handOver(WriteObjects& w, const uint8_t* bytes, uint32_t count, int64_t deadline) {
  uint8_t* block = w.block.data();
  for (uint32_t k = 0; k < count; ++k) {
    wordAt<uint8_t>(block, SHUB_BLOCK_DATA_OFFSET + k).store(bytes[k], std::memory_order_relaxed);
  }
  // Data, then the length, then the event with release: the daemon's writer
  // never sees a length without its bytes.
  wordAt(block, SHUB_BLOCK_LENGTH_OFFSET).store(count, std::memory_order_relaxed);
  w.event.signal();
  uint32_t outcome = 0;
  int error = waitOutcome(w, deadline, &outcome);
  if (error == ETIMEDOUT || error == ENOTCONN) {
    // Withdrawn, unless the daemon took the signal first: then it is on the
    // line, and the line's own write time-out bounds the wait for how it went.
    if (w.event.wait(std::chrono::milliseconds(0)) == shub::os::WaitResult::signalled) {
      freeBlock(w);
      return error;
    }
    const int64_t lineMs = kLineMsPerByte * count + kLineConstantMs + kSliceMs;
    if (waitOutcome(w, nowMs() + lineMs, &outcome) == 0) error = 0;
  }
  if (error == 0 && outcome == 0) return 0;
  freeBlock(w);
  return error == 0 || error == ETIMEDOUT ? ECOMM : error;
}

}  // namespace

extern "C" {

shub_channel* shub_channel_open(int channel) {
  char blockName[32];
  char eventName[40];
  std::snprintf(blockName, sizeof blockName, SHUB_CHANNEL_BLOCK_FORMAT, channel);
  std::snprintf(eventName, sizeof eventName, SHUB_CHANNEL_EVENT_FORMAT, channel);
  shub_channel* ch = new (std::nothrow) shub_channel;
  if (ch == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  ch->number = channel;
  ch->block = shub::os::Block::open(blockName, SHUB_BLOCK_SIZE);
  if (ch->block.valid()) ch->event = shub::os::Event::open(eventName);
  if (!ch->event.valid()) {
    const int error = errno;
    shub_channel_close(ch);
    errno = error;
    return nullptr;
  }
  return ch;
}

void shub_channel_close(shub_channel* ch) {
  if (ch == nullptr) return;
  if (ch->watching && !ch->status.broken()) {
    wordAt(ch->status.data(), SHUB_STATUS_WATCHERS_OFFSET).fetch_sub(1, std::memory_order_relaxed);
  }
  delete ch;
}

int shub_channel_wait(shub_channel* ch, int timeout_ms, void* buf, size_t cap) {
  if (ch == nullptr || (buf == nullptr && cap > 0)) return fail(EINVAL);
  const int64_t deadline = deadlineOf(timeout_ms);
  for (;;) {
    if (ch->event.broken() || ch->block.broken()) return fail(EIO);
    const shub::os::WaitResult taken = ch->event.wait(std::chrono::milliseconds(slice(remaining(deadline))));
    if (taken == shub::os::WaitResult::interrupted) return fail(EINTR);
    if (taken == shub::os::WaitResult::signalled) break;
    if (daemonGone(ch->status, ch->goneSince)) return fail(ENOTCONN);
    if (remaining(deadline) == 0) return 0;
  }
  auto* out = static_cast<uint8_t*>(buf);
  const int entry = haveStatus(ch->status) ? shub::lib::findEntry(ch->status.data(), ch->number) : -1;
  shub::lib::FrameCopy copy;
  // Bounded: a word left odd by a daemon killed mid-write must not hang a
  // consumer that already has its signal; it gets the plain copy instead.
  if (entry >= 0 && shub::lib::copyConsistent(ch->status.data(), entry, ch->block.data(), out, cap, copy, inMs(kSliceMs))) {
    return static_cast<int>(copy.length);
  }
  const uint32_t length = shub::lib::copyPlain(ch->block.data(), out, cap);
  return ch->block.broken() ? fail(EIO) : static_cast<int>(length);
}

int shub_channel_peek(shub_channel* ch, int timeout_ms, void* buf, size_t cap, uint64_t* seq) {
  if (ch == nullptr || seq == nullptr || (buf == nullptr && cap > 0)) return fail(EINVAL);
  if (!haveStatus(ch->status)) return -1;
  startWatching(ch);
  uint32_t* wake = wordAddress(ch->status.data(), SHUB_STATUS_WAKE_OFFSET);
  const int64_t deadline = deadlineOf(timeout_ms);
  const int entry = shub::lib::findEntry(ch->status.data(), ch->number);
  const uint64_t cursor = *seq != 0 ? *seq : entry >= 0 ? shub::lib::entrySeq(ch->status.data(), entry) : 0;
  for (;;) {
    if (ch->status.broken() || ch->block.broken()) return fail(EIO);
    // The wake word is read before the sequence number, so a frame that
    // comes after the look changes it and the sleep below returns at once.
    const uint32_t wakeSeen = wordAt(ch->status.data(), SHUB_STATUS_WAKE_OFFSET).load(std::memory_order_acquire);
    shub::lib::FrameCopy copy;
    if (newFrame(ch, cursor, static_cast<uint8_t*>(buf), cap, copy)) {
      ch->peekedSeq = *seq = copy.seq;
      ch->peekedVersion = copy.version;
      return static_cast<int>(copy.length);
    }
    // A caller that started from 0 goes on from the frame current at the
    // call, so that its next peek misses nothing delivered in between.
    *seq = cursor;
    const int64_t left = remaining(deadline);
    if (left == 0) return 0;
    if (daemonGone(ch->status, ch->goneSince)) return fail(ENOTCONN);
    if (!shub::os::waitSharedWord(wake, wakeSeen, inMs(slice(left)))) return fail(EINTR);
  }
}

int shub_channel_read(shub_channel* ch, void* block, size_t size) {
  if (ch == nullptr || (block == nullptr && size > 0)) return fail(EINVAL);
  uint8_t whole[SHUB_BLOCK_SIZE];
  const int entry = haveStatus(ch->status) ? shub::lib::findEntry(ch->status.data(), ch->number) : -1;
  shub::lib::copyBlock(ch->status.data(), entry, ch->block.data(), whole, inMs(kSliceMs));
  if (ch->block.broken()) return fail(EIO);
  size = std::min<size_t>(size, SHUB_BLOCK_SIZE);
  std::memcpy(block, whole, size);
  return static_cast<int>(size);
}

int shub_event_set(const char* name) {
  shub::os::Event event = shub::os::Event::open(name != nullptr ? name : "");
  if (!event.valid()) return -1;
  event.signal();
  return 0;
}

int shub_event_wait(const char* name, int timeout_ms) {
  shub::os::Event event = shub::os::Event::open(name != nullptr ? name : "");
  if (!event.valid()) return -1;
  switch (event.wait(timeout_ms < 0 ? shub::os::Timeout() : std::chrono::milliseconds(timeout_ms))) {
    case shub::os::WaitResult::signalled:
      return 1;
    case shub::os::WaitResult::timeout:
      return 0;
    case shub::os::WaitResult::interrupted:
      return fail(EINTR);
    default:
      return fail(EIO);
  }
}

uint64_t shub_frames_missed(uint64_t previous, uint64_t seq) {
  if (previous == 0 || seq <= previous || seq - previous - 1 >= kMaxGap) return 0;
  return seq - previous - 1;
}

int shub_write(const void* bytes, size_t count) {
  if (count > SHUB_BLOCK_DATA_SIZE) return fail(EMSGSIZE);
  if (bytes == nullptr || count == 0) return fail(EINVAL);
  WriteObjects w;
  if (!(w.status = shub::os::Block::open(SHUB_STATUS_NAME, SHUB_STATUS_SIZE)).valid()) {
    return fail(errno == ENOENT ? ENOTCONN : errno);
  }
  if (!shub::os::lockedByAnother(w.status.fd())) return fail(ENOTCONN);
  if (!(w.block = shub::os::Block::open(SHUB_WRITE_BLOCK_NAME, SHUB_BLOCK_SIZE)).valid() ||
      !(w.event = shub::os::Event::open(SHUB_WRITE_EVENT_NAME)).valid()) {
    return -1;
  }
  // One writer at a time, across processes: the lock is the block file's own
  // flock, which the kernel drops however a writer dies.
  const int64_t deadline = nowMs() + kWriteTakeMs;
  if (!shub::os::lockExclusiveUntil(w.block.fd(), inMs(kWriteTakeMs))) return -1;
  int error = waitOutcome(w, deadline);
  if (error == 0) error = handOver(w, static_cast<const uint8_t*>(bytes), static_cast<uint32_t>(count), deadline);
  return error == 0 ? 0 : fail(error);
}

int shub_stats(shub_status* out) {
  if (out == nullptr) return fail(EINVAL);
  shub::os::Block status;
  if (!haveStatus(status)) return -1;
  const uint8_t* base = status.data();
  const auto u32 = [base](uint32_t offset) { return wordAt(base, offset).load(std::memory_order_relaxed); };
  const auto u64 = [base](uint32_t offset) { return wordAt<uint64_t>(base, offset).load(std::memory_order_relaxed); };
  *out = {};
  out->daemon_alive = shub::os::lockedByAnother(status.fd()) ? 1 : 0;
  out->power = u32(SHUB_STATUS_POWER_OFFSET);
  out->backlight = u32(SHUB_STATUS_BACKLIGHT_OFFSET);
  out->watchers = u32(SHUB_STATUS_WATCHERS_OFFSET);
  out->noise_bytes = u64(SHUB_STATUS_NOISE_OFFSET);
  out->dark_frames = u64(SHUB_STATUS_DARK_OFFSET);
  out->overlong_frames = u64(SHUB_STATUS_OVERLONG_OFFSET);
  out->port_opens = u64(SHUB_STATUS_PORT_OPENS_OFFSET);
  out->hangups = u64(SHUB_STATUS_HANGUPS_OFFSET);
  out->port_open = u32(SHUB_STATUS_PORT_OPEN_OFFSET);
  out->entry_count = u32(SHUB_STATUS_ENTRIES_OFFSET);
  if (out->entry_count > SHUB_STATUS_ENTRY_COUNT) out->entry_count = SHUB_STATUS_ENTRY_COUNT;
  for (uint32_t i = 0; i < out->entry_count; ++i) {
    const uint32_t at = SHUB_STATUS_ENTRY_OFFSET + i * SHUB_STATUS_ENTRY_SIZE;
    shub_entry_status& entry = out->entries[i];
    entry.channel = static_cast<int32_t>(u32(at + SHUB_STATUS_ENTRY_CHANNEL));
    entry.seq = u64(at + SHUB_STATUS_ENTRY_SEQ);
    entry.frames = u64(at + SHUB_STATUS_ENTRY_FRAMES);
    entry.bytes = u64(at + SHUB_STATUS_ENTRY_BYTES);
  }
  return status.broken() ? fail(EIO) : 0;
}

}  // extern "C"
