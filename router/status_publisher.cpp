// The writer's half of the status object. The seqlock word of a block is made
// odd before the block is touched and even after, with release ordering, so a
// reader that finds it even and unchanged around its copy has a whole frame.
#include "router/status_publisher.h"

#include <climits>

#include "platform/client_objects.h"

namespace shub::router {

using namespace status_fields;

void StatusPublisher::wakeAll() {
  os::wakeSharedWord(reinterpret_cast<uint32_t*>(status_ + SHUB_STATUS_WAKE_OFFSET), INT_MAX);
}

namespace {

// No line delivers this many frames in a lifetime (2^48: centuries at the
// fastest pty); a number beyond it was written by another process.
constexpr uint64_t kSeqLimit = uint64_t{1} << 48;

}  // namespace

void StatusPublisher::initialise(const int32_t* channels, uint32_t count) {
  if (count > SHUB_STATUS_ENTRY_COUNT) count = SHUB_STATUS_ENTRY_COUNT;
  wordAt<uint32_t>(status_, SHUB_STATUS_MAGIC_OFFSET).store(0, std::memory_order_relaxed);
  for (uint32_t i = 0; i < SHUB_STATUS_ENTRY_COUNT; ++i) {
    seqlockEntry_[i] = i;
    const int32_t channel = i < count ? channels[i] : 0;
    for (uint32_t k = 0; k < i && i < count; ++k) {
      if (channels[k] == channel) {
        seqlockEntry_[i] = k;
        break;
      }
    }
    wordAt<int32_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_CHANNEL)).store(channel, std::memory_order_relaxed);
    EntryCounts& counts = entries_[i];
    counts = EntryCounts{};
    // A daemon that died in a write left the word odd: readers would wait for ever.
    counts.version = wordAt<uint32_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_VERSION)).load();
    counts.version += counts.version & 1;
    put(status_, entryOffset(i, SHUB_STATUS_ENTRY_VERSION), counts.version, std::memory_order_release);
    // A new entry starts at 1: 0 means "from the next frame" to a watcher.
    const uint64_t seq = wordAt<uint64_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_SEQ)).load();
    counts.seq = seq == 0 || seq >= kSeqLimit ? 1 : seq;
    put(status_, entryOffset(i, SHUB_STATUS_ENTRY_SEQ), counts.seq);
    put<uint64_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_FRAMES), 0);
    put<uint64_t>(status_, entryOffset(i, SHUB_STATUS_ENTRY_BYTES), 0);
  }
  noise_ = dark_ = overlong_ = opens_ = hangups_ = 0;
  for (uint32_t offset = SHUB_STATUS_NOISE_OFFSET; offset <= SHUB_STATUS_HANGUPS_OFFSET; offset += 8) {
    put<uint64_t>(status_, offset, 0);
  }
  wordAt<uint32_t>(status_, SHUB_STATUS_PORT_OPEN_OFFSET).store(0, std::memory_order_relaxed);
  wordAt<uint32_t>(status_, SHUB_STATUS_POWER_OFFSET).store(SHUB_STATUS_POWER_UNKNOWN, std::memory_order_relaxed);
  wordAt<uint32_t>(status_, SHUB_STATUS_ENTRIES_OFFSET).store(count, std::memory_order_relaxed);
  wordAt<uint32_t>(status_, SHUB_STATUS_VERSION_OFFSET).store(SHUB_STATUS_VERSION, std::memory_order_relaxed);
  // Last: a client that sees the magic sees the entries.
  wordAt<uint32_t>(status_, SHUB_STATUS_MAGIC_OFFSET).store(SHUB_STATUS_MAGIC, std::memory_order_release);
}

void StatusPublisher::noiseSkipped(uint32_t count) { put(status_, SHUB_STATUS_NOISE_OFFSET, noise_ += count); }
void StatusPublisher::droppedInDark() { put(status_, SHUB_STATUS_DARK_OFFSET, ++dark_); }
void StatusPublisher::overlongDiscarded() { put(status_, SHUB_STATUS_OVERLONG_OFFSET, ++overlong_); }

void StatusPublisher::portOpened() {
  put(status_, SHUB_STATUS_PORT_OPENS_OFFSET, ++opens_);
  wordAt<uint32_t>(status_, SHUB_STATUS_PORT_OPEN_OFFSET).store(1, std::memory_order_relaxed);
}

// The port is dropped at every hang-up or failed read, and only then.
void StatusPublisher::hungUp() {
  put(status_, SHUB_STATUS_HANGUPS_OFFSET, ++hangups_);
  wordAt<uint32_t>(status_, SHUB_STATUS_PORT_OPEN_OFFSET).store(0, std::memory_order_relaxed);
}

void StatusPublisher::setPower(uint32_t state) {
  wordAt<uint32_t>(status_, SHUB_STATUS_POWER_OFFSET).store(state, std::memory_order_relaxed);
}

void StatusPublisher::setBacklight(bool on) {
  wordAt<uint32_t>(status_, SHUB_STATUS_BACKLIGHT_OFFSET).store(on ? 1 : 0, std::memory_order_relaxed);
}

}  // namespace shub::router
