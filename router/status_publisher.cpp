// The writer's half of the status object. The seqlock word of a block is made
// odd before the block is touched and even after, with release ordering, so a
// reader that finds it even and unchanged around its copy has a whole frame.
//
// Watchers are woken without a fence here: a watcher that registers runs
// membarrier(GLOBAL_EXPEDITED) once, which fences this process for it, so
// from then on every delivery sees its registration (see the library). Only
// the compiler must keep the watcher load after the stores.
#include "router/status_publisher.h"

#include <atomic>
#include <cstring>

#include <serialhub/protocol.h>

#include "platform/status_object.h"

namespace {

template <typename Word>
std::atomic_ref<Word> field(uint8_t* base, uint32_t offset) {
  return std::atomic_ref<Word>(*reinterpret_cast<Word*>(base + offset));
}

template <typename Word>
void add(uint8_t* base, uint32_t offset, Word amount) {
  auto word = field<Word>(base, offset);
  word.store(word.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

uint32_t entryOffset(uint32_t entry, uint32_t member) {
  return SHUB_STATUS_ENTRY_OFFSET + entry * SHUB_STATUS_ENTRY_SIZE + member;
}

}  // namespace

void StatusPublisher::initialise(const int32_t* channels, uint32_t count) {
  if (count > SHUB_STATUS_ENTRY_COUNT) count = SHUB_STATUS_ENTRY_COUNT;
  field<uint32_t>(status_, SHUB_STATUS_MAGIC_OFFSET).store(0, std::memory_order_relaxed);
  for (uint32_t i = 0; i < SHUB_STATUS_ENTRY_COUNT; ++i) {
    seqlockEntry_[i] = i;
    const int32_t channel = i < count ? channels[i] : 0;
    for (uint32_t k = 0; k < i && i < count; ++k) {
      if (channels[k] == channel) {
        seqlockEntry_[i] = k;
        break;
      }
    }
    field<int32_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_CHANNEL)).store(channel, std::memory_order_relaxed);
    // A daemon that died in a write left the word odd: readers would wait for ever.
    auto version = field<uint32_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_VERSION));
    if ((version.load(std::memory_order_relaxed) & 1) != 0) version.fetch_add(1, std::memory_order_release);
    // A new entry starts at 1: 0 never names a frame, so it stays free to
    // mean "from the next frame" to a watcher.
    auto seq = field<uint64_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_SEQ));
    if (seq.load(std::memory_order_relaxed) == 0) seq.store(1, std::memory_order_relaxed);
    field<uint64_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_FRAMES)).store(0, std::memory_order_relaxed);
    field<uint64_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_BYTES)).store(0, std::memory_order_relaxed);
  }
  for (uint32_t offset = SHUB_STATUS_NOISE_OFFSET; offset <= SHUB_STATUS_HANGUPS_OFFSET; offset += 8) {
    field<uint64_t>(status_, offset).store(0, std::memory_order_relaxed);
  }
  field<uint32_t>(status_, SHUB_STATUS_POWER_OFFSET).store(SHUB_STATUS_POWER_UNKNOWN, std::memory_order_relaxed);
  field<uint32_t>(status_, SHUB_STATUS_ENTRIES_OFFSET).store(count, std::memory_order_relaxed);
  field<uint32_t>(status_, SHUB_STATUS_VERSION_OFFSET).store(SHUB_STATUS_VERSION, std::memory_order_relaxed);
  // Last: a client that sees the magic sees the entries.
  field<uint32_t>(status_, SHUB_STATUS_MAGIC_OFFSET).store(SHUB_STATUS_MAGIC, std::memory_order_release);
}

void StatusPublisher::beginBlockWrite(uint32_t entry) {
  auto version = field<uint32_t>(status_, entryOffset(seqlockEntry_[entry], SHUB_STATUS_ENTRY_VERSION));
  version.store(version.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  // The odd word must be visible before any byte of the block changes.
  std::atomic_thread_fence(std::memory_order_release);
}

void StatusPublisher::endFrame(uint32_t entry, uint32_t length) {
  const uint32_t lockEntry = seqlockEntry_[entry];
  add<uint64_t>(status_, entryOffset(lockEntry, SHUB_STATUS_ENTRY_SEQ), 1);
  auto version = field<uint32_t>(status_, entryOffset(lockEntry, SHUB_STATUS_ENTRY_VERSION));
  version.store(version.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  add<uint64_t>(status_, entryOffset(entry, SHUB_STATUS_ENTRY_FRAMES), 1);
  add<uint64_t>(status_, entryOffset(entry, SHUB_STATUS_ENTRY_BYTES), length);
  wakeWatchers();
}

void StatusPublisher::endBlockClear(uint32_t entry) {
  auto version = field<uint32_t>(status_, entryOffset(seqlockEntry_[entry], SHUB_STATUS_ENTRY_VERSION));
  version.store(version.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void StatusPublisher::wakeWatchers() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (field<uint32_t>(status_, SHUB_STATUS_WATCHERS_OFFSET).load(std::memory_order_relaxed) == 0) return;
  add<uint32_t>(status_, SHUB_STATUS_WAKE_OFFSET, 1);
  ce::wakeAllWaiters(reinterpret_cast<uint32_t*>(status_ + SHUB_STATUS_WAKE_OFFSET));
}

void StatusPublisher::noiseSkipped(uint32_t count) { add<uint64_t>(status_, SHUB_STATUS_NOISE_OFFSET, count); }
void StatusPublisher::droppedInDark() { add<uint64_t>(status_, SHUB_STATUS_DARK_OFFSET, 1); }
void StatusPublisher::overlongDiscarded() { add<uint64_t>(status_, SHUB_STATUS_OVERLONG_OFFSET, 1); }

void StatusPublisher::portOpened() {
  field<uint64_t>(status_, SHUB_STATUS_PORT_OPENS_OFFSET).fetch_add(1, std::memory_order_relaxed);
}

void StatusPublisher::hungUp() {
  field<uint64_t>(status_, SHUB_STATUS_HANGUPS_OFFSET).fetch_add(1, std::memory_order_relaxed);
}

void StatusPublisher::setPower(uint32_t state) {
  field<uint32_t>(status_, SHUB_STATUS_POWER_OFFSET).store(state, std::memory_order_relaxed);
}

void StatusPublisher::setBacklight(bool on) {
  field<uint32_t>(status_, SHUB_STATUS_BACKLIGHT_OFFSET).store(on ? 1 : 0, std::memory_order_relaxed);
}
