// Starting and releasing one channel's consumer thread and objects.
#include "devices/channel_consumer.h"

#include <utility>

#include "platform/clock.h"
#include "router/channel_block.h"

namespace shub::devices {

void startConsumer(ChannelConsumer& consumer, const char* blockName, const char* eventName, ConsumerBody body) {
  releaseChannel(consumer);
  consumer.event = os::Event::open(eventName);
  if (!consumer.event.valid()) return;
  consumer.block = os::openOrCreateBlock(blockName, SHUB_BLOCK_SIZE);
  const uint8_t* block = consumer.block.data();
  if (block == nullptr) return;
  consumer.thread = os::startThread([body = std::move(body), event = &consumer.event, block](std::stop_token stop) {
    body(stop, event, block);
  });
}

void releaseChannel(ChannelConsumer& consumer) {
  os::stopThread(consumer.thread);
  consumer.thread = {};
  consumer.event = {};
  consumer.block = {};
}

}  // namespace shub::devices
