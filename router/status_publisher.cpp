// The writer's half of the status object. The seqlock word of a block is made
// odd before the block is touched and even after, with release ordering, so a
// reader that finds it even and unchanged around its copy has a whole frame.
#include "router/status_publisher.h"

#include <climits>

#include "platform/client_objects.h"

using namespace status_fields;

void StatusPublisher::wakeAll() {
  ce::wakeSharedWord(reinterpret_cast<uint32_t*>(status_ + SHUB_STATUS_WAKE_OFFSET), INT_MAX);
}

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
    // A new entry starts at 1: 0 means "from the next frame" to a watcher.
    auto seq = field<uint64_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_SEQ));
    if (seq.load(std::memory_order_relaxed) == 0) seq.store(1, std::memory_order_relaxed);
    field<uint64_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_FRAMES)).store(0, std::memory_order_relaxed);
    field<uint64_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_BYTES)).store(0, std::memory_order_relaxed);
  }
  for (uint32_t offset = SHUB_STATUS_NOISE_OFFSET; offset <= SHUB_STATUS_HANGUPS_OFFSET; offset += 8) {
    field<uint64_t>(status_, offset).store(0, std::memory_order_relaxed);
  }
  field<uint32_t>(status_, SHUB_STATUS_PORT_OPEN_OFFSET).store(0, std::memory_order_relaxed);
  field<uint32_t>(status_, SHUB_STATUS_POWER_OFFSET).store(SHUB_STATUS_POWER_UNKNOWN, std::memory_order_relaxed);
  field<uint32_t>(status_, SHUB_STATUS_ENTRIES_OFFSET).store(count, std::memory_order_relaxed);
  field<uint32_t>(status_, SHUB_STATUS_VERSION_OFFSET).store(SHUB_STATUS_VERSION, std::memory_order_relaxed);
  // Last: a client that sees the magic sees the entries.
  field<uint32_t>(status_, SHUB_STATUS_MAGIC_OFFSET).store(SHUB_STATUS_MAGIC, std::memory_order_release);
}

void StatusPublisher::noiseSkipped(uint32_t count) { add<uint64_t>(status_, SHUB_STATUS_NOISE_OFFSET, count); }
void StatusPublisher::droppedInDark() { add<uint64_t>(status_, SHUB_STATUS_DARK_OFFSET, 1); }
void StatusPublisher::overlongDiscarded() { add<uint64_t>(status_, SHUB_STATUS_OVERLONG_OFFSET, 1); }

void StatusPublisher::portOpened() {
  add<uint64_t>(status_, SHUB_STATUS_PORT_OPENS_OFFSET, 1);
  field<uint32_t>(status_, SHUB_STATUS_PORT_OPEN_OFFSET).store(1, std::memory_order_relaxed);
}

// The port is dropped at every hang-up or failed read, and only then.
void StatusPublisher::hungUp() {
  add<uint64_t>(status_, SHUB_STATUS_HANGUPS_OFFSET, 1);
  field<uint32_t>(status_, SHUB_STATUS_PORT_OPEN_OFFSET).store(0, std::memory_order_relaxed);
}

void StatusPublisher::setPower(uint32_t state) {
  field<uint32_t>(status_, SHUB_STATUS_POWER_OFFSET).store(state, std::memory_order_relaxed);
}

void StatusPublisher::setBacklight(bool on) {
  field<uint32_t>(status_, SHUB_STATUS_BACKLIGHT_OFFSET).store(on ? 1 : 0, std::memory_order_relaxed);
}
