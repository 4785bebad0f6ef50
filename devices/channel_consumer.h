// What a consumer of one channel inside the daemon holds (the touch injector
// on CRT1, the control channel on CRT4): the event, the mapped block, and the
// thread that waits on the one and reads the other. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <thread>

#include "platform/named_block.h"
#include "platform/named_event.h"

namespace shub::devices {

struct ChannelConsumer {
  os::Event event;
  os::Block block;
  std::jthread thread;
};

using ConsumerBody = std::function<void(std::stop_token, os::Event* event, const uint8_t* block)>;

// Releases what `consumer` held (a second thread would orphan the first's
// handles), opens the existing event, opens-or-creates and maps the block,
// and runs `body` on the consumer's thread. Nothing runs when a step fails.
void startConsumer(ChannelConsumer& consumer, const char* blockName, const char* eventName, ConsumerBody body);

// Joins the thread first, so it never reads a block that is gone, then
// releases what is held. A released consumer can be started again.
void releaseChannel(ChannelConsumer& consumer);

}  // namespace shub::devices
