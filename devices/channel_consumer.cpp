#include "devices/channel_consumer.h"

#include "router/channel_block.h"

bool openChannel(ChannelConsumer& consumer, const char* blockName, const char* eventName) {
  consumer.event = ce::openEvent(eventName);
  if (consumer.event == nullptr) return false;
  consumer.block = ce::openOrCreateBlock(blockName, kChannelBlockSize);
  if (!consumer.block.valid()) return false;
  consumer.address = ce::mapBlock(consumer.block);
  return consumer.address != nullptr;
}

void releaseChannel(ChannelConsumer& consumer) {
  if (consumer.thread != nullptr) {
    ce::stopThread(consumer.thread);
    ce::closeThread(consumer.thread);
    consumer.thread = nullptr;
  }
  if (consumer.address != nullptr) ce::unmapBlock(consumer.address, kChannelBlockSize);
  consumer.address = nullptr;
  ce::closeEvent(consumer.event);
  consumer.event = nullptr;
  ce::closeBlock(consumer.block);
}
