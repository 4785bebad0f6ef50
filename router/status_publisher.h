// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// What the daemon tells watchers and operators through its status object
// CRT:STATUS (layout in serialhub/protocol.h): a seqlock and a sequence
// number per channel block, counters, and the broadcast wake-up. It runs for
// every frame, so with nobody watching it costs a few plain stores and one
// load. Each field has one writer thread, so counters need no locked operation.
// Any group member can write the object: the numbers live here and are stored
// whole at every change, so a word another process spoiled is right again at
// the next frame, and a seqlock word left odd never blinds the readers.
#pragma once

#include <atomic>
#include <cstdint>

#include <serialhub/protocol.h>

#include "platform/client_objects.h"

namespace shub::router {

namespace status_fields {

using os::wordAt;

template <typename Word>
void put(uint8_t* base, uint32_t offset, Word value, std::memory_order order = std::memory_order_relaxed) {
  wordAt<Word>(base, offset).store(value, order);
}

inline uint32_t entryOffset(uint32_t entry, uint32_t member) {
  return SHUB_STATUS_ENTRY_OFFSET + entry * SHUB_STATUS_ENTRY_SIZE + member;
}

}  // namespace status_fields

class StatusPublisher {
 public:
  // `status`: the mapped object, SHUB_STATUS_SIZE bytes, 8-byte aligned.
  explicit StatusPublisher(uint8_t* status) : status_(status) {}

  // Fills in the route entries' channels, zeroes the counters, keeps the
  // sequence numbers (they go on across restarts, so a watcher never sees one
  // go back, unless the object holds one no line could have reached: then
  // they start again at 1) and stores the magic last. `count` is at most 10.
  void initialise(const int32_t* channels, uint32_t count);

  // On the serial reader, between two frames, for a reloaded route table:
  // each entry slot is rewritten under its own seqlock, a channel keeps its
  // sequence number (one new to the table starts at 1), and the k-th entry
  // of a channel keeps the counters of its k-th entry before.
  void reroute(const int32_t* channels, uint32_t count);
  void reloaded(bool cutFrame);  // a reload took effect; it dropped a frame being collected

  // Around every write of a channel block by route entry `entry`.
  void beginBlockWrite(uint32_t entry);
  uint64_t endFrame(uint32_t entry, uint32_t length);  // a frame was delivered: its channel's sequence number
  void endBlockClear(uint32_t entry) { stepVersion(entry); }  // cleared, no frame

  void noiseSkipped(uint32_t count);
  void droppedInDark();
  void overlongDiscarded();
  void portOpened();  // the first at start-up, later ones on the serial reader
  void hungUp();
  void setPower(uint32_t state);  // SHUB_STATUS_POWER_*
  void setBacklight(bool on);

 private:
  void wakeWatchers();
  void wakeAll();
  // The block's seqlock word, one step on: odd while it is written, even after.
  void stepVersion(uint32_t entry, std::memory_order order = std::memory_order_release) {
    const uint32_t at = seqlockEntry_[entry];
    status_fields::put(status_, status_fields::entryOffset(at, SHUB_STATUS_ENTRY_VERSION), ++entries_[at].version,
                       order);
  }

  struct EntryCounts {
    uint32_t version = 0;  // kept in the seqlock entry of the channel
    uint64_t seq = 1;      // likewise
    uint64_t frames = 0;
    uint64_t bytes = 0;
  };

  void computeSeqlockEntries();

  uint8_t* status_;
  int32_t channels_[SHUB_STATUS_ENTRY_COUNT] = {};
  uint32_t count_ = 0;
  uint32_t seqlockEntry_[SHUB_STATUS_ENTRY_COUNT] = {};  // the first entry with the same channel
  EntryCounts entries_[SHUB_STATUS_ENTRY_COUNT];
  uint64_t noise_ = 0, dark_ = 0, overlong_ = 0, opens_ = 0, hangups_ = 0, reloads_ = 0, cut_ = 0;
};

inline void StatusPublisher::beginBlockWrite(uint32_t entry) {
  stepVersion(entry, std::memory_order_relaxed);
  // The odd word must be visible before any byte of the block changes.
  std::atomic_thread_fence(std::memory_order_release);
}

inline uint64_t StatusPublisher::endFrame(uint32_t entry, uint32_t length) {
  using namespace status_fields;
  EntryCounts& counts = entries_[entry];
  const uint64_t seq = ++entries_[seqlockEntry_[entry]].seq;
  put(status_, entryOffset(seqlockEntry_[entry], SHUB_STATUS_ENTRY_SEQ), seq);
  stepVersion(entry);
  put(status_, entryOffset(entry, SHUB_STATUS_ENTRY_FRAMES), ++counts.frames);
  put(status_, entryOffset(entry, SHUB_STATUS_ENTRY_BYTES), counts.bytes += length);
  wakeWatchers();
  return seq;
}

// No fence here: a watcher that registers runs membarrier(GLOBAL_EXPEDITED)
// once, which fences this process for it, so every later delivery sees its
// registration (see libserialhub). Only the compiler must keep the watcher
// load after the stores above.
inline void StatusPublisher::wakeWatchers() {
  using namespace status_fields;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (wordAt<uint32_t>(status_, SHUB_STATUS_WATCHERS_OFFSET).load(std::memory_order_relaxed) == 0) return;
  auto wake = wordAt<uint32_t>(status_, SHUB_STATUS_WAKE_OFFSET);
  wake.store(wake.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  wakeAll();
}

}  // namespace shub::router
