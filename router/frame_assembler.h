// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Cuts the received serial byte stream into frames by the route table's
// header patterns and hands each finished frame to its channel block.
//
// It must survive anything the wire delivers: leading garbage, frames split
// across reads, headers that appear inside frames, headers that are suffixes
// of one another, noise that never matches, and route entries whose lengths
// cannot fit a block. Whatever arrives, nothing is written outside a block's
// data area and no frame longer than the data area is ever delivered.
#pragma once

#include <chrono>
#include <cstdint>

#include "router/channel_block.h"
#include "router/channel_blocks.h"
#include "router/route_table.h"
#include "router/status_publisher.h"

namespace shub::router {

// What the assembler asks of the rest of the daemon; called only on delivery,
// never per byte.
class FrameAssemblerHooks {
 public:
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual bool backlightOn() = 0;           // the daemon's record of the lamp
  virtual void keyClick(int32_t kind) = 0;  // the dark-screen click
  // Asked once: whether frameSeen() wants every frame delivered or dropped
  // while dark (an operator's debug lines); false keeps it off the hot path.
  virtual bool tellsFrames() { return false; }
  virtual void frameSeen(uint32_t /*entry*/, int32_t /*channel*/, const uint8_t* /*bytes*/,
                         uint32_t /*length*/, bool /*delivered*/) {}

 protected:
  ~FrameAssemblerHooks() = default;
};

class FrameAssembler {
 public:
  static constexpr std::chrono::milliseconds kClickGate{1200};  // between clicks while dark
  static constexpr uint32_t kMaxFrame = SHUB_BLOCK_DATA_SIZE;     // longest frame held or delivered

  // Reads `table` once (it never changes after loading) and learns frame
  // lengths of its own; blocks and wake-ups are asked of `outlets` at
  // delivery. `status`, when given, is told of block writes, noise and lost
  // frames, and `listener` of every delivered frame. All must outlive us.
  FrameAssembler(const RouteTable& table, FrameOutlets& outlets, FrameAssemblerHooks& hooks,
                 StatusPublisher* status = nullptr, FrameListener* listener = nullptr);

  void feedBytes(uint32_t count, const uint8_t* bytes);
  void feedByte(uint8_t byte);

  // For tests and invariant checks.
  int32_t currentEntry() const { return current_; }
  bool inFrame() const { return current_ >= 0; }
  uint32_t receivedLength() const { return received_; }
  bool clickArmed() const { return clickArmed_; }
  int32_t frameLength(uint32_t entry) const { return frameLength_[entry]; }

 private:
  void searchHeaders(uint8_t byte);
  void collect();
  void deliver(uint32_t index);
  void writeDataArea(uint8_t* block, uint32_t length);
  void dropInDark();
  void endFrame(uint32_t index);
  void restartWindow();

  FrameOutlets& outlets_;
  FrameAssemblerHooks& hooks_;
  StatusPublisher* status_;
  FrameListener* listener_;
  // candidates_[b]: bit i set when entry i takes part in the search and its
  // header ends in b, so a noise byte costs one table look-up.
  uint16_t candidates_[256] = {};
  // beforeLast_[b]: bit i set when entry i's header has b just before its last
  // byte, or is one byte long; filters the candidates on the byte before.
  uint16_t beforeLast_[256] = {};
  uint16_t oneByteHeaders_ = 0;
  uint32_t windowKeep_ = 0;  // longest searched header - 1: kept over a window reset
  uint32_t headerLength_[kRouteTableSize] = {};
  int32_t channel_[kRouteTableSize] = {};
  int32_t frameLength_[kRouteTableSize] = {};  // as configured, or learned; 0: learn from the first CR LF
  bool relearn_[kRouteTableSize] = {};         // forget the length after every frame
  uint8_t header_[kRouteTableSize][kMaxFrame] = {};

  uint8_t buffer_[kMaxFrame + 8] = {};  // the current frame or the search window, and slack
  uint32_t received_ = 0;               // valid bytes in buffer_, at most kMaxFrame between bytes
  int32_t current_ = -1;                // entry being collected; -1 while searching
  uint32_t pendingLength_ = 0;          // while collecting: nothing to do below this length
  const bool tellFrames_;               // hooks_.tellsFrames(), asked once
  bool clickArmed_ = true;              // the next dark-screen frame clicks
  std::chrono::steady_clock::time_point clickTime_;  // of the last dark-screen click
};

}  // namespace shub::router
