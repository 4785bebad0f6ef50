// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Creation may fail part-way (a file of the wrong size in the object folder,
// no room): the frame assembler skips entries without a block. Existing
// blocks are reopened with their contents; entries with one channel number
// share one block.
#include "router/channel_blocks.h"

#include <cstdio>
#include <cstring>

#include "platform/named_objects.h"
#include "router/channel_block.h"

namespace shub::router {

namespace {

void formatName(char* name, size_t size, const char* format, int32_t channel) {
  if (name == nullptr || size == 0) return;
  std::memset(name, 0, size);
  std::snprintf(name, size, format, static_cast<int>(channel));
}

}  // namespace

void channelBlockName(int32_t channel, char* name, size_t size) { formatName(name, size, SHUB_CHANNEL_BLOCK_FORMAT, channel); }

void channelEventName(int32_t channel, char* name, size_t size) { formatName(name, size, SHUB_CHANNEL_EVENT_FORMAT, channel); }

ChannelSet::ChannelSet(const RouteTable& table, const RouteTable* inUse) {
  for (uint32_t i = 0; i < std::min(table.count, kRouteTableSize); ++i) {
    const int32_t channel = table.entries[i].channel;
    char name[32];
    channelBlockName(channel, name, sizeof name);
    os::Block block = os::openOrCreateBlock(name, SHUB_BLOCK_SIZE);
    if (!block.valid()) return;
    channelEventName(channel, name, sizeof name);
    os::Event event = os::Event::create(name);
    if (inUse == nullptr || !routesChannel(*inUse, channel)) {
      // A signal left from before this daemon ran is stale: acted on, it would
      // inject a phantom tap or toggle the backlight with no command.
      event.clear();
      storeUnownedLock(block.data());
    }
    channels_.push_back({std::move(block), std::move(event)});
  }
}

}  // namespace shub::router
