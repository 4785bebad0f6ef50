// What the daemon tells watchers and operators through its status object
// CRT:STATUS (layout in serialhub/protocol.h): a seqlock and a sequence
// number per channel block, counters, and the broadcast wake-up.
//
// It runs on the delivery path of every frame, so with nobody watching it
// costs a few plain stores and one load, never a system call. Each field has
// one writer thread (the serial reader, or the main thread for power and
// backlight), so counters are read-modify-written without locked operations.
#pragma once

#include <cstdint>

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
  void endBlockClear(uint32_t entry);              // the block was cleared, no frame

  void noiseSkipped(uint32_t count);
  void droppedInDark();
  void overlongDiscarded();
  void portOpened();
  void hungUp();
  void setPower(uint32_t state);  // SHUB_STATUS_POWER_*
  void setBacklight(bool on);

 private:
  void wakeWatchers();

  uint8_t* status_;
  uint32_t seqlockEntry_[10] = {};  // the first entry with the same channel
};
