// libserialhub's C interface over the named objects the daemon makes: a
// channel's block and event, the write block, and the status object.
//
// It runs inside other programs: no exceptions cross the C boundary (nothing
// here throws but allocation, which is caught), no signal handler, no thread,
// and every failure leaves errno saying why. Waits are re-checked after every
// wake-up, so signals and spurious wake-ups only cost a loop.
#include <serialhub/channel.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <new>

#include "libserialhub/status_reader.h"
#include "platform/client_objects.h"

struct shub_channel {
  int number = 0;
  ce::MappedObject block;
  ce::MappedObject event;
  ce::MappedObject status;  // unmapped until a daemon has made it
  bool watching = false;    // counted in the status object's watchers
};

namespace {

// The longest sleep of a peek between looks: a watcher whose registration
// the daemon could not be fenced for still sees the frame this late at worst.
constexpr int64_t kPeekSliceMs = 100;

std::atomic_ref<uint32_t> word(uint8_t* base, uint32_t offset) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base + offset));
}

int64_t deadlineOf(int timeoutMs) { return timeoutMs < 0 ? -1 : ce::monotonicMs() + timeoutMs; }

// Milliseconds left, 0 when passed, -1 for no deadline.
int64_t remaining(int64_t deadline) {
  if (deadline < 0) return -1;
  const int64_t left = deadline - ce::monotonicMs();
  return left > 0 ? left : 0;
}

bool openEventObject(const char* name, ce::MappedObject& out) {
  if (!ce::openMappedObject(name, SHUB_EVENT_SIZE, out)) return false;
  if (word(out.address, SHUB_EVENT_MAGIC_OFFSET).load(std::memory_order_acquire) != SHUB_EVENT_MAGIC) {
    ce::closeMappedObject(out);
    errno = EINVAL;
    return false;
  }
  return true;
}

// The status object, mapped on first need: the daemon may start after the
// channel was opened. False with ENOTCONN when there is none yet.
bool haveStatus(ce::MappedObject& status) {
  if (status.address == nullptr && !ce::openMappedObject(SHUB_STATUS_NAME, SHUB_STATUS_SIZE, status)) {
    if (errno == ENOENT) errno = ENOTCONN;
    return false;
  }
  if (!shub::statusReady(status.address)) {
    errno = ENOTCONN;
    return false;
  }
  return true;
}

// Takes the event's signal: swaps a non-zero state for 0, else sleeps while it is 0.
bool consumeSignal(uint8_t* event, int64_t deadline) {
  auto state = word(event, SHUB_EVENT_STATE_OFFSET);
  for (;;) {
    uint32_t seen = state.load(std::memory_order_acquire);
    if (seen != 0 && state.compare_exchange_strong(seen, 0, std::memory_order_acq_rel)) return true;
    if (seen != 0) continue;
    const int64_t left = remaining(deadline);
    if (left == 0) return false;
    ce::waitSharedWord(reinterpret_cast<uint32_t*>(event + SHUB_EVENT_STATE_OFFSET), 0, left);
  }
}

// A watcher is counted before it first looks, and the daemon is fenced once
// so that its next delivery cannot miss the count (see status_publisher.cpp).
void startWatching(shub_channel* ch) {
  if (ch->watching) return;
  word(ch->status.address, SHUB_STATUS_WATCHERS_OFFSET).fetch_add(1, std::memory_order_seq_cst);
  ce::fenceRegisteredProcesses();
  ch->watching = true;
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
  if (!ce::openMappedObject(blockName, SHUB_BLOCK_SIZE, ch->block) || !openEventObject(eventName, ch->event)) {
    const int error = errno;
    shub_channel_close(ch);
    errno = error;
    return nullptr;
  }
  return ch;
}

void shub_channel_close(shub_channel* ch) {
  if (ch == nullptr) return;
  if (ch->watching) word(ch->status.address, SHUB_STATUS_WATCHERS_OFFSET).fetch_sub(1, std::memory_order_relaxed);
  ce::closeMappedObject(ch->status);
  ce::closeMappedObject(ch->event);
  ce::closeMappedObject(ch->block);
  delete ch;
}

int shub_channel_wait(shub_channel* ch, int timeout_ms, void* buf, size_t cap) {
  if (ch == nullptr || (buf == nullptr && cap > 0)) {
    errno = EINVAL;
    return -1;
  }
  const int64_t deadline = deadlineOf(timeout_ms);
  if (!consumeSignal(ch->event.address, deadline)) return 0;
  auto* out = static_cast<uint8_t*>(buf);
  const int entry = haveStatus(ch->status) ? shub::findEntry(ch->status.address, ch->number) : -1;
  shub::FrameCopy copy;
  // Bounded: a word left odd by a daemon killed mid-write must not hang a
  // consumer that already has its signal; it gets the plain copy instead.
  const int64_t copyDeadline = ce::monotonicMs() + kPeekSliceMs;
  if (entry >= 0 &&
      shub::copyConsistent(ch->status.address, entry, ch->block.address, out, cap, copy, copyDeadline)) {
    return static_cast<int>(copy.length);
  }
  return static_cast<int>(shub::copyPlain(ch->block.address, out, cap));
}

int shub_channel_peek(shub_channel* ch, int timeout_ms, void* buf, size_t cap, uint64_t* seq) {
  if (ch == nullptr || seq == nullptr || (buf == nullptr && cap > 0)) {
    errno = EINVAL;
    return -1;
  }
  if (!haveStatus(ch->status)) return -1;
  startWatching(ch);
  uint8_t* status = ch->status.address;
  uint32_t* wake = reinterpret_cast<uint32_t*>(status + SHUB_STATUS_WAKE_OFFSET);
  const int64_t deadline = deadlineOf(timeout_ms);
  int entry = shub::findEntry(status, ch->number);
  const uint64_t wanted = (*seq != 0 ? *seq : entry >= 0 ? shub::entrySeq(status, entry) : 0) + 1;
  for (;;) {
    // The wake word is read before the sequence number, so a frame that
    // comes after the look changes it and the sleep below returns at once.
    const uint32_t wakeSeen = std::atomic_ref<uint32_t>(*wake).load(std::memory_order_acquire);
    entry = shub::findEntry(status, ch->number);
    if (entry >= 0 && shub::entrySeq(status, entry) >= wanted) {
      shub::FrameCopy copy;
      if (!shub::copyConsistent(status, entry, ch->block.address, static_cast<uint8_t*>(buf), cap, copy, deadline)) {
        *seq = wanted - 1;
        return 0;
      }
      if (copy.seq >= wanted) {
        *seq = copy.seq;
        return static_cast<int>(copy.length);
      }
    }
    const int64_t left = remaining(deadline);
    if (left == 0) {
      // A caller that started from 0 goes on from the frame current at the
      // call, so that its next peek misses nothing delivered in between.
      *seq = wanted - 1;
      return 0;
    }
    ce::waitSharedWord(wake, wakeSeen, left < 0 || left > kPeekSliceMs ? kPeekSliceMs : left);
  }
}

int shub_write(const void* bytes, size_t count) {
  if (count > SHUB_BLOCK_DATA_SIZE) {
    errno = EMSGSIZE;
    return -1;
  }
  if (bytes == nullptr || count == 0) {
    errno = EINVAL;
    return -1;
  }
  ce::MappedObject status;
  if (!ce::openMappedObject(SHUB_STATUS_NAME, SHUB_STATUS_SIZE, status)) {
    if (errno == ENOENT) errno = ENOTCONN;
    return -1;
  }
  const bool alive = ce::lockedByAnother(status.fd);
  ce::closeMappedObject(status);
  if (!alive) {
    errno = ENOTCONN;
    return -1;
  }
  ce::MappedObject block;
  ce::MappedObject event;
  if (!ce::openMappedObject(SHUB_WRITE_BLOCK_NAME, SHUB_BLOCK_SIZE, block) ||
      !openEventObject(SHUB_WRITE_EVENT_NAME, event)) {
    const int error = errno;
    ce::closeMappedObject(block);
    errno = error;
    return -1;
  }
  const auto* in = static_cast<const uint8_t*>(bytes);
  for (size_t k = 0; k < count; ++k) {
    std::atomic_ref<uint8_t>(block.address[SHUB_BLOCK_DATA_OFFSET + k]).store(in[k], std::memory_order_relaxed);
  }
  // Data, then the length, then the event with release: the daemon's writer
  // never sees a length without its bytes.
  word(block.address, SHUB_BLOCK_LENGTH_OFFSET).store(static_cast<uint32_t>(count), std::memory_order_relaxed);
  word(event.address, SHUB_EVENT_STATE_OFFSET).store(1, std::memory_order_release);
  ce::wakeSharedWord(reinterpret_cast<uint32_t*>(event.address + SHUB_EVENT_STATE_OFFSET), 1);
  ce::closeMappedObject(event);
  ce::closeMappedObject(block);
  return 0;
}

int shub_stats(shub_status* out) {
  if (out == nullptr) {
    errno = EINVAL;
    return -1;
  }
  ce::MappedObject status;
  if (!haveStatus(status)) {
    ce::closeMappedObject(status);
    return -1;
  }
  const uint8_t* base = status.address;
  const auto u32 = [base](uint32_t offset) {
    return std::atomic_ref<const uint32_t>(*reinterpret_cast<const uint32_t*>(base + offset)).load(std::memory_order_relaxed);
  };
  const auto u64 = [base](uint32_t offset) {
    return std::atomic_ref<const uint64_t>(*reinterpret_cast<const uint64_t*>(base + offset)).load(std::memory_order_relaxed);
  };
  *out = {};
  out->daemon_alive = ce::lockedByAnother(status.fd) ? 1 : 0;
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
  ce::closeMappedObject(status);
  return 0;
}

}  // extern "C"
