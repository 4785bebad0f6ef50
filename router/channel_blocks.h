// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The channel block CRT<N> and event CRT<N>:EVENT of every route entry, the
// daemon's whole interface to the processes that consume a channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/client_objects.h"
#include "router/route_table.h"

namespace shub::router {

// "CRT<N>" and "CRT<N>:EVENT" into a zero-filled buffer of `size` bytes.
void channelBlockName(int32_t channel, char* name, size_t size);
void channelEventName(int32_t channel, char* name, size_t size);

// Where the frame assembler puts a route entry's frames.
class FrameOutlets {
 public:
  virtual uint8_t* block(uint32_t entry) const = 0;  // nullptr: the entry has no block
  virtual void signal(uint32_t entry) = 0;           // after the frame is in the block

 protected:
  ~FrameOutlets() = default;
};

// Told of every delivered frame, after its block and event: the monitors.
// `seq` is the channel's sequence number of the frame, 0 when none is kept.
class FrameListener {
 public:
  virtual void delivered(int32_t channel, uint64_t seq, const uint8_t* bytes, uint32_t length) = 0;

 protected:
  ~FrameListener() = default;
};

class ChannelSet final : public FrameOutlets {
 public:
  ChannelSet() = default;
  // For the entries in table order: open-or-create and map the block, create
  // the event, put an unowned lock record in the lock area. Stops at the first
  // block that cannot be made; later entries keep no block. Channels of
  // `inUse` (a table being replaced) are opened as clients hold them: their
  // pending signal and their lock are theirs.
  explicit ChannelSet(const RouteTable& table, const RouteTable* inUse = nullptr);

  uint8_t* block(uint32_t entry) const override { return entry < channels_.size() ? channels_[entry].block.data() : nullptr; }
  void signal(uint32_t entry) override {
    if (entry < channels_.size()) channels_[entry].event.signal();
  }

 private:
  struct Channel {
    os::Block block;
    os::Event event;  // without its event a channel gets no wake-ups but still its frames
  };
  std::vector<Channel> channels_;
};

}  // namespace shub::router
