// What a consumer of one channel inside the daemon holds (the touch injector
// on CRT1, the control channel on CRT4): the channel's event, its block
// mapped, and the thread that waits on the one and reads the other. Held and
// released on the main thread only.
#pragma once

#include <cstdint>
#include <thread>

#include "platform/named_block.h"
#include "platform/named_event.h"

struct ChannelConsumer {
  ce::EventHandle event;
  ce::NamedBlock block;
  ce::BlockView view;
  std::jthread thread;
};

// Opens the existing event, then opens-or-creates and maps the block. False at
// the first step that fails; whatever was opened stays held until
// releaseChannel(), and no thread may be started.
bool openChannel(ChannelConsumer& consumer, const char* blockName, const char* eventName);

// Stops and joins the thread first, so that it never reads a block that is
// gone, then unmaps the block and closes the event and the block. Releases
// only what is held; a released consumer can be opened again.
void releaseChannel(ChannelConsumer& consumer);
