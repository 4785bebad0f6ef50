// Starting and releasing one channel's consumer thread and objects.
#include "devices/channel_consumer.h"

#include <utility>

#include "platform/clock.h"
#include "router/channel_block.h"

namespace shub::devices {

bool ChannelFrames::waitForFrame(std::stop_token stop) const {
  // A stop racing the frame wins: nothing is handled once it has begun.
  return os::waitEvent(event, os::kInfinite, stop) == os::WaitResult::signalled && !stop.stop_requested();
}

void ChannelFrames::dropDelivered() const { os::resetEvent(event); }

void ChannelConsumer::start(const char* blockName, const char* eventName, ConsumerBody body) {
  stop();
  event_.reset(os::openEvent(eventName));
  if (!event_) return;
  block_ = os::openOrCreateBlock(blockName, router::kChannelBlockSize);
  if (!block_.valid()) return;
  view_ = os::BlockView(block_);
  if (view_.get() == nullptr) return;
  thread_ = os::startThread([body = std::move(body), frames = ChannelFrames{event_.get(), view_.get()}](
                                std::stop_token stop) { body(stop, frames); });
}

void ChannelConsumer::stop() {
  os::stopThread(thread_);
  thread_ = {};
  view_ = {};
  event_.reset();
  os::closeBlock(block_);
}

}  // namespace shub::devices
