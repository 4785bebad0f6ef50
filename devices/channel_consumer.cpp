// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Starting and releasing one channel's consumer thread and objects.
#include "devices/channel_consumer.h"

#include <utility>

#include "router/channel_block.h"
#include "router/threads.h"

namespace shub::devices {

bool ChannelFrames::waitForFrame(std::stop_token stop) const {
  // A stop racing the frame wins: nothing is handled once it has begun.
  return event->wait(std::nullopt, stop) == os::WaitResult::signalled && !stop.stop_requested();
}

void ChannelFrames::dropDelivered() const { event->clear(); }

void ChannelConsumer::start(const char* blockName, const char* eventName, ConsumerBody body) {
  stop();
  event_ = os::Event::open(eventName);
  if (!event_.valid()) return;
  block_ = os::openOrCreateBlock(blockName, SHUB_BLOCK_SIZE);
  if (block_.data() == nullptr) return;
  thread_ = router::startThread([body = std::move(body), frames = ChannelFrames{&event_, block_.data()}](
                                std::stop_token stop) { body(stop, frames); });
}

void ChannelConsumer::stop() {
  router::stopThread(thread_);
  thread_ = {};
  event_ = {};
  block_ = {};
}

}  // namespace shub::devices
