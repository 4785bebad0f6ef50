// Creates and releases the channel block CRT<N> and event CRT<N>:EVENT of
// every route entry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/lock_record.h"
#include "router/route_table.h"

namespace shub::router {

// "CRT<N>" and "CRT<N>:EVENT" into a zero-filled buffer of `size` bytes.
void channelBlockName(int32_t channel, char* name, size_t size);
void channelEventName(int32_t channel, char* name, size_t size);

// For the entries in table order: open-or-create and map the block, create
// the event, copy `lock` into the lock area. Stops at the first block that
// cannot be made or mapped; later entries keep no block.
void createChannelBlocks(RouteTable& table, const os::LockRecord& lock);
void releaseChannelBlocks(RouteTable& table);

}  // namespace shub::router
