// Creates and releases the channel block CRT<N> and event CRT<N>:EVENT of
// every route entry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/lock_record.h"
#include "router/route_table.h"

// Names: "CRT%d" and that followed by ":EVENT". `size` is the buffer size.
void channelBlockName(int32_t channel, char* name, size_t size);
void channelEventName(int32_t channel, char* name, size_t size);

// For entries 0 to count - 1 in order: open-or-create and map the block,
// create the event, store them in the entry, copy `lock` into the lock area.
// Stops at the first block that cannot be made or mapped.
void createChannelBlocks(RouteTable& table, const ce::LockRecord& lock);

// Unmaps, closes the block, closes the event of every entry that has a block.
void releaseChannelBlocks(RouteTable& table);
