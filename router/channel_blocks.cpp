// Gives every route entry its shared block CRT<N> and event CRT<N>:EVENT, the
// daemon's whole interface to the processes that consume a channel.
//
// Creation may fail part-way (a file of the wrong size in the object folder,
// no room): the entries from the failing one on keep no block, and the frame
// assembler skips them. Blocks that already exist are opened with their
// contents; two entries with one channel number share one block.
#include "router/channel_blocks.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "router/channel_block.h"

namespace {

constexpr size_t kNameSize = 260;

void formatName(char* name, size_t size, const char* format, int32_t channel) {
  if (name == nullptr || size == 0) return;
  std::memset(name, 0, size);
  std::snprintf(name, size, format, static_cast<int>(channel));
}

// Every block starts with an unowned lock in its lock area, copied from the
// daemon's record each time a block is created or reopened.
void copyLockRecord(uint8_t* block, const ce::LockRecord& lock) {
  uint8_t bytes[kBlockLockSize];
  static_assert(sizeof(ce::LockRecord) == kBlockLockSize);
  std::memcpy(bytes, &lock, sizeof bytes);
  storeBlockBytes(block, kBlockLockOffset, bytes, kBlockLockSize);
}

// False when the block cannot be made or mapped; the entry is then left
// without block, event or address.
bool createChannelBlock(RouteEntry& entry, const ce::LockRecord& lock) {
  char name[kNameSize];
  channelBlockName(entry.channel, name, sizeof name);
  ce::NamedBlock block = ce::openOrCreateBlock(name, kChannelBlockSize);
  if (!block.valid()) return false;
  uint8_t* address = ce::mapBlock(block);
  if (address == nullptr) {
    ce::closeBlock(block);
    return false;
  }
  channelEventName(entry.channel, name, sizeof name);
  // An event that cannot be made leaves the channel without wake-ups; the
  // block still receives its frames.
  entry.event = ce::createEvent(name, false);
  // A signal left in the file from before this daemon ran is stale: acted on,
  // it would inject a phantom tap or toggle the backlight with no command.
  ce::resetEvent(entry.event);
  entry.block = std::move(block);
  entry.blockAddress = address;
  copyLockRecord(address, lock);
  return true;
}

}  // namespace

void channelBlockName(int32_t channel, char* name, size_t size) { formatName(name, size, SHUB_CHANNEL_BLOCK_FORMAT, channel); }

void channelEventName(int32_t channel, char* name, size_t size) {
  formatName(name, size, SHUB_CHANNEL_EVENT_FORMAT, channel);
}

void createChannelBlocks(RouteTable& table, const ce::LockRecord& lock) {
  const uint32_t count = table.count < kRouteTableSize ? table.count : kRouteTableSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (!createChannelBlock(table.entries[i], lock)) return;
  }
}

void releaseChannelBlocks(RouteTable& table) {
  const uint32_t count = table.count < kRouteTableSize ? table.count : kRouteTableSize;
  for (uint32_t i = 0; i < count; ++i) {
    RouteEntry& entry = table.entries[i];
    if (entry.blockAddress == nullptr) continue;
    ce::unmapBlock(entry.blockAddress, kChannelBlockSize);
    ce::closeBlock(entry.block);
    ce::closeEvent(entry.event);
    entry.blockAddress = nullptr;
    entry.event = nullptr;
  }
}
