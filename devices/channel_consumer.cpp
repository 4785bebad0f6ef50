// Starting and releasing one channel's consumer thread and objects.
#include "devices/channel_consumer.h"

#include <utility>

#include "platform/clock.h"
#include "router/channel_block.h"

namespace shub::devices {

void startConsumer(ChannelConsumer& consumer, const char* blockName, const char* eventName, ConsumerBody body) {
  releaseChannel(consumer);
  consumer.event.reset(os::openEvent(eventName));
  if (!consumer.event) return;
  consumer.block = os::openOrCreateBlock(blockName, router::kChannelBlockSize);
  if (!consumer.block.valid()) return;
  consumer.view = os::BlockView(consumer.block);
  const uint8_t* block = consumer.view.get();
  if (block == nullptr) return;
  consumer.thread = os::startThread([body = std::move(body), event = consumer.event.get(), block](std::stop_token stop) {
    body(stop, event, block);
  });
}

void releaseChannel(ChannelConsumer& consumer) {
  os::stopThread(consumer.thread);
  consumer.thread = {};
  consumer.view = {};
  consumer.event.reset();
  os::closeBlock(consumer.block);
}

}  // namespace shub::devices
