// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// What a consumer of one channel inside the daemon holds (the touch injector
// on CRT1, the control channel on CRT4): the event, the mapped block, and the
// thread that waits on the one and reads the other. Started and stopped on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <thread>

#include "platform/named_objects.h"

namespace shub::devices {

// The running thread's view of its channel.
struct ChannelFrames {
  bool waitForFrame(std::stop_token stop) const;  // true on a frame; false once the stop is requested
  void dropDelivered() const;                     // the frames delivered since the last wait returned
  os::Event* event;
  const uint8_t* block;
};

using ConsumerBody = std::function<void(std::stop_token, const ChannelFrames&)>;

class ChannelConsumer {
 public:
  ~ChannelConsumer() { stop(); }
  // Stops what runs (a second thread would orphan the first's handles), opens
  // the existing event, opens-or-creates and maps the block, and runs `body`
  // on the consumer's thread. Nothing runs when a step fails.
  void start(const char* blockName, const char* eventName, ConsumerBody body);
  // Joins the thread first, so it never reads a block that is gone, then
  // releases what is held. A stopped consumer can be started again.
  void stop();

 private:
  os::Event event_;
  os::Block block_;
  std::jthread thread_;
};

}  // namespace shub::devices
