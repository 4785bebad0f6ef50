// What the daemon tells watchers and operators through its status object
// CRT:STATUS (layout in serialhub/protocol.h): a seqlock and a sequence
// number per channel block, counters, and the broadcast wake-up. It runs for
// every frame, so with nobody watching it costs a few plain stores and one
// load. Each field has one writer thread, so counters need no locked operation.
#pragma once

#include <atomic>
#include <cstdint>

#include <serialhub/protocol.h>

namespace status_fields {

template <typename Word>
std::atomic_ref<Word> field(uint8_t* base, uint32_t offset) {
  return std::atomic_ref<Word>(*reinterpret_cast<Word*>(base + offset));
}

template <typename Word>
void add(uint8_t* base, uint32_t offset, Word amount) {
  auto word = field<Word>(base, offset);
  word.store(word.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
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
  // go back) and stores the magic last. `count` is at most 10.
  void initialise(const int32_t* channels, uint32_t count);

  // Around every write of a channel block by route entry `entry`.
  void beginBlockWrite(uint32_t entry);
  void endFrame(uint32_t entry, uint32_t length);  // a frame was delivered
  void endBlockClear(uint32_t entry) { stepVersion(entry, std::memory_order_release); }  // cleared, no frame

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
  void stepVersion(uint32_t entry, std::memory_order order) {  // of the block's seqlock
    auto version = status_fields::field<uint32_t>(
        status_, status_fields::entryOffset(seqlockEntry_[entry], SHUB_STATUS_ENTRY_VERSION));
    version.store(version.load(std::memory_order_relaxed) + 1, order);
  }

  uint8_t* status_;
  uint32_t seqlockEntry_[10] = {};  // the first entry with the same channel
};

inline void StatusPublisher::beginBlockWrite(uint32_t entry) {
  stepVersion(entry, std::memory_order_relaxed);
  // The odd word must be visible before any byte of the block changes.
  std::atomic_thread_fence(std::memory_order_release);
}

inline void StatusPublisher::endFrame(uint32_t entry, uint32_t length) {
  using namespace status_fields;
  add<uint64_t>(status_, entryOffset(seqlockEntry_[entry], SHUB_STATUS_ENTRY_SEQ), 1);
  stepVersion(entry, std::memory_order_release);
  add<uint64_t>(status_, entryOffset(entry, SHUB_STATUS_ENTRY_FRAMES), 1);
  add<uint64_t>(status_, entryOffset(entry, SHUB_STATUS_ENTRY_BYTES), length);
  wakeWatchers();
}

// No fence here: a watcher that registers runs membarrier(GLOBAL_EXPEDITED)
// once, which fences this process for it, so every later delivery sees its
// registration (see libserialhub). Only the compiler must keep the watcher
// load after the stores above.
inline void StatusPublisher::wakeWatchers() {
  using namespace status_fields;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (field<uint32_t>(status_, SHUB_STATUS_WATCHERS_OFFSET).load(std::memory_order_relaxed) == 0) return;
  add<uint32_t>(status_, SHUB_STATUS_WAKE_OFFSET, 1);
  wakeAll();
}
