// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl replay: plays a capture (or a plain hex dump) as the serial peer,
// into a pty linked where a daemon looks for COM7, or through a throw-away
// device with a daemon of its own (--run), printing the frames it delivers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "client/capture_format.h"
#include "client/tool.h"

namespace shub::client {

struct ReplayOptions {
  std::string capture;
  std::optional<std::string> link;    // where the pty goes instead of $CE_ROOT/dev/COM7
  double speed = 1.0;                 // the capture's time runs this much faster
  std::optional<uint32_t> baud;       // pace by bytes instead of the capture's times
  bool run = false;                   // a throw-away device and daemon
  std::optional<std::string> routes;  // its route file
  std::optional<std::string> daemon;  // its serialhub
};

// When each byte may go out. By the capture's times: never sooner after the
// item before it than the capture says (divided by the speed), so a wait of
// the player's own shifts what follows instead of squeezing it. By baud rate
// (a hex dump has no times: 19200): never before the byte before it took its
// 10 bit times.
class ReplayPacer {
 public:
  ReplayPacer(const ReplayOptions& options, bool timed);
  // Waits until the item at `timeUs` may start. False when interrupted first.
  bool waitForItem(uint64_t timeUs, const std::atomic<bool>* interrupted);
  // Waits until the next byte of an item may go, and counts it sent.
  bool waitForByte(const std::atomic<bool>* interrupted);
  // Counts `count` bytes sent at once.
  void sent(uint64_t count);

 private:
  using Clock = std::chrono::steady_clock;
  bool waitUntil(Clock::time_point due, const std::atomic<bool>* interrupted);

  double speed_;
  std::optional<uint32_t> baud_;  // set: pace by bytes only
  std::optional<uint64_t> lastTimeUs_;
  Clock::time_point lastStart_ = Clock::now();  // when the last item began
  Clock::time_point nextByte_ = Clock::now();   // by baud rate
};

bool interruptedNow(const std::atomic<bool>* interrupted);

// replay --run: the throw-away device (replay_run.cpp).
int replayOnOwnDevice(const ToolContext& context, const ReplayOptions& options, const Capture& capture);

}  // namespace shub::client
