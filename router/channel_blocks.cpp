// Gives every route entry its shared block CRT<N> and event CRT<N>:EVENT, the
// daemon's whole interface to the processes that consume a channel.
//
// Creation may fail part-way (a file of the wrong size in the object folder,
// no room): the frame assembler skips entries without a block. Existing
// blocks are reopened with their contents; entries with one channel number
// share one block.
#include "router/channel_blocks.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "router/channel_block.h"

namespace shub::router {

namespace {

void formatName(char* name, size_t size, const char* format, int32_t channel) {
  if (name == nullptr || size == 0) return;
  std::memset(name, 0, size);
  std::snprintf(name, size, format, static_cast<int>(channel));
}

bool createChannelBlock(RouteEntry& entry, const os::LockRecord& lock) {
  char name[32];
  channelBlockName(entry.channel, name, sizeof name);
  os::NamedBlock block = os::openOrCreateBlock(name, kChannelBlockSize);
  uint8_t* address = block.valid() ? os::mapBlock(block) : nullptr;
  if (address == nullptr) {
    os::closeBlock(block);
    return false;
  }
  channelEventName(entry.channel, name, sizeof name);
  // Without its event a channel gets no wake-ups but still its frames.
  entry.event = os::createEvent(name, false);
  // A signal left from before this daemon ran is stale: acted on, it would
  // inject a phantom tap or toggle the backlight with no command.
  os::resetEvent(entry.event);
  entry.block = std::move(block);
  entry.blockAddress = address;
  static_assert(sizeof(os::LockRecord) == kBlockLockSize);
  storeBlockBytes(address, kBlockLockOffset, reinterpret_cast<const uint8_t*>(&lock), kBlockLockSize);
  return true;
}

uint32_t entryCount(const RouteTable& table) { return table.count < kRouteTableSize ? table.count : kRouteTableSize; }

}  // namespace

void channelBlockName(int32_t channel, char* name, size_t size) { formatName(name, size, SHUB_CHANNEL_BLOCK_FORMAT, channel); }

void channelEventName(int32_t channel, char* name, size_t size) { formatName(name, size, SHUB_CHANNEL_EVENT_FORMAT, channel); }

void createChannelBlocks(RouteTable& table, const os::LockRecord& lock) {
  for (uint32_t i = 0; i < entryCount(table); ++i) {
    if (!createChannelBlock(table.entries[i], lock)) return;
  }
}

void releaseChannelBlocks(RouteTable& table) {
  for (uint32_t i = 0; i < entryCount(table); ++i) {
    RouteEntry& entry = table.entries[i];
    if (entry.blockAddress == nullptr) continue;
    os::unmapBlock(entry.blockAddress, kChannelBlockSize);
    os::closeBlock(entry.block);
    os::closeEvent(entry.event);
    entry.blockAddress = nullptr;
    entry.event = nullptr;
  }
}

}  // namespace shub::router
