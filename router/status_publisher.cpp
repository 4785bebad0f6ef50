// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The writer's half of the status object. The seqlock word of a block is made
// odd before the block is touched and even after, with release ordering, so a
// reader that finds it even and unchanged around its copy has a whole frame.
#include "router/status_publisher.h"

#include <algorithm>
#include <climits>
#include <iterator>

#include "platform/client_objects.h"

namespace shub::router {

// The status object's layout, alike on every target: each word at a multiple
// of its size (a 64-bit one split over two would tear), nothing overlapping.
static_assert(SHUB_STATUS_BACKLIGHT_OFFSET + 4 <= SHUB_STATUS_NOISE_OFFSET);
static_assert(SHUB_STATUS_NOISE_OFFSET % 8 == 0 && SHUB_STATUS_DARK_OFFSET == SHUB_STATUS_NOISE_OFFSET + 8 &&
              SHUB_STATUS_OVERLONG_OFFSET == SHUB_STATUS_DARK_OFFSET + 8 &&
              SHUB_STATUS_PORT_OPENS_OFFSET == SHUB_STATUS_OVERLONG_OFFSET + 8 &&
              SHUB_STATUS_HANGUPS_OFFSET == SHUB_STATUS_PORT_OPENS_OFFSET + 8);
static_assert(SHUB_STATUS_PORT_OPEN_OFFSET == SHUB_STATUS_HANGUPS_OFFSET + 8 &&
              SHUB_STATUS_RELOADS_OFFSET % 8 == 0 && SHUB_STATUS_RELOADS_OFFSET >= SHUB_STATUS_PORT_OPEN_OFFSET + 4 &&
              SHUB_STATUS_RELOAD_CUT_OFFSET == SHUB_STATUS_RELOADS_OFFSET + 8 &&
              SHUB_STATUS_RELOAD_CUT_OFFSET + 8 <= SHUB_STATUS_ENTRY_OFFSET);
static_assert(SHUB_STATUS_ENTRY_OFFSET % 8 == 0 && SHUB_STATUS_ENTRY_SIZE % 8 == 0 &&
              SHUB_STATUS_ENTRY_SEQ % 8 == 0 && SHUB_STATUS_ENTRY_FRAMES % 8 == 0 &&
              SHUB_STATUS_ENTRY_BYTES % 8 == 0 && SHUB_STATUS_ENTRY_BYTES + 8 == SHUB_STATUS_ENTRY_SIZE &&
              SHUB_STATUS_ENTRY_OFFSET + SHUB_STATUS_ENTRY_COUNT * SHUB_STATUS_ENTRY_SIZE <= SHUB_STATUS_SIZE);

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
  count_ = count;
  for (uint32_t i = 0; i < SHUB_STATUS_ENTRY_COUNT; ++i) channels_[i] = i < count ? channels[i] : 0;
  computeSeqlockEntries();
  for (uint32_t i = 0; i < SHUB_STATUS_ENTRY_COUNT; ++i) {
    const int32_t channel = channels_[i];
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
  noise_ = dark_ = overlong_ = opens_ = hangups_ = reloads_ = cut_ = 0;
  for (uint32_t offset = SHUB_STATUS_NOISE_OFFSET; offset <= SHUB_STATUS_HANGUPS_OFFSET; offset += 8) {
    put<uint64_t>(status_, offset, 0);
  }
  put<uint64_t>(status_, SHUB_STATUS_RELOADS_OFFSET, 0);
  put<uint64_t>(status_, SHUB_STATUS_RELOAD_CUT_OFFSET, 0);
  wordAt<uint32_t>(status_, SHUB_STATUS_PORT_OPEN_OFFSET).store(0, std::memory_order_relaxed);
  wordAt<uint32_t>(status_, SHUB_STATUS_POWER_OFFSET).store(SHUB_STATUS_POWER_UNKNOWN, std::memory_order_relaxed);
  wordAt<uint32_t>(status_, SHUB_STATUS_ENTRIES_OFFSET).store(count, std::memory_order_relaxed);
  wordAt<uint32_t>(status_, SHUB_STATUS_VERSION_OFFSET).store(SHUB_STATUS_VERSION, std::memory_order_relaxed);
  // Last: a client that sees the magic sees the entries.
  wordAt<uint32_t>(status_, SHUB_STATUS_MAGIC_OFFSET).store(SHUB_STATUS_MAGIC, std::memory_order_release);
}

void StatusPublisher::computeSeqlockEntries() {
  for (uint32_t i = 0; i < SHUB_STATUS_ENTRY_COUNT; ++i) {
    seqlockEntry_[i] = i;
    for (uint32_t k = 0; k < i && i < count_; ++k) {
      if (channels_[k] == channels_[i]) {
        seqlockEntry_[i] = k;
        break;
      }
    }
  }
}

namespace {

// The index of the `nth` entry (from 0) of `channel` in `channels`; -1 when none.
int nthEntry(const int32_t* channels, uint32_t count, int32_t channel, uint32_t nth) {
  for (uint32_t i = 0; i < count; ++i) {
    if (channels[i] == channel && nth-- == 0) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

void StatusPublisher::reroute(const int32_t* channels, uint32_t count) {
  if (count > SHUB_STATUS_ENTRY_COUNT) count = SHUB_STATUS_ENTRY_COUNT;
  EntryCounts before[SHUB_STATUS_ENTRY_COUNT];
  std::copy(std::begin(entries_), std::end(entries_), before);
  int32_t channelsBefore[SHUB_STATUS_ENTRY_COUNT];
  uint32_t seqlockBefore[SHUB_STATUS_ENTRY_COUNT];
  std::copy(std::begin(channels_), std::end(channels_), channelsBefore);
  std::copy(std::begin(seqlockEntry_), std::end(seqlockEntry_), seqlockBefore);
  const uint32_t countBefore = count_;
  count_ = count;
  for (uint32_t i = 0; i < SHUB_STATUS_ENTRY_COUNT; ++i) channels_[i] = i < count ? channels[i] : 0;
  computeSeqlockEntries();
  for (uint32_t i = 0; i < SHUB_STATUS_ENTRY_COUNT; ++i) {
    const int32_t channel = channels_[i];
    EntryCounts next;
    next.version = entries_[i].version + 2;  // stepped twice below: odd, then even
    if (i < count) {
      const uint32_t nth = static_cast<uint32_t>(std::count(channels_, channels_ + i, channel));
      const int same = nthEntry(channelsBefore, countBefore, channel, nth);
      const int first = nthEntry(channelsBefore, countBefore, channel, 0);
      if (first >= 0) next.seq = before[seqlockBefore[first]].seq;
      if (same >= 0) next.frames = before[same].frames, next.bytes = before[same].bytes;
    }
    put(status_, entryOffset(i, SHUB_STATUS_ENTRY_VERSION), next.version - 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    put(status_, entryOffset(i, SHUB_STATUS_ENTRY_CHANNEL), channel);
    put(status_, entryOffset(i, SHUB_STATUS_ENTRY_SEQ), next.seq);
    put(status_, entryOffset(i, SHUB_STATUS_ENTRY_FRAMES), next.frames);
    put(status_, entryOffset(i, SHUB_STATUS_ENTRY_BYTES), next.bytes);
    put(status_, entryOffset(i, SHUB_STATUS_ENTRY_VERSION), next.version, std::memory_order_release);
    entries_[i] = next;
  }
  wordAt<uint32_t>(status_, SHUB_STATUS_ENTRIES_OFFSET).store(count, std::memory_order_release);
}

void StatusPublisher::reloaded(bool cutFrame) {
  put(status_, SHUB_STATUS_RELOADS_OFFSET, ++reloads_);
  if (cutFrame) put(status_, SHUB_STATUS_RELOAD_CUT_OFFSET, ++cut_);
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
