// Opening and releasing one channel's objects for a consumer thread; the
// release order is what keeps the thread off a view that is gone.
#include "devices/channel_consumer.h"

#include "platform/thread.h"
#include "router/channel_block.h"

bool openChannel(ChannelConsumer& consumer, const char* blockName, const char* eventName) {
  consumer.event.reset(ce::openEvent(eventName));
  if (!consumer.event) return false;
  consumer.block = ce::openOrCreateBlock(blockName, kChannelBlockSize);
  if (!consumer.block.valid()) return false;
  consumer.view = ce::BlockView(consumer.block);
  return consumer.view.get() != nullptr;
}

void releaseChannel(ChannelConsumer& consumer) {
  ce::stopThread(consumer.thread);
  consumer.thread = {};
  consumer.view = {};
  consumer.event.reset();
  ce::closeBlock(consumer.block);
}
