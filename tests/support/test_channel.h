// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A channel's block and event as a test process holds them: playing the
// frame assembler (put a frame, set the event), or a client (wait for the
// next frame). The event is made (optionally signalled) or only opened.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/named_objects.h"
#include "router/channel_block.h"

using namespace shub::router;

namespace testing_support {

struct TestChannel {
  enum class Event { open, make, makeSignalled };

  shub::os::Block block;
  uint8_t* address = nullptr;
  mutable shub::os::Event event;

  explicit TestChannel(const std::string& name, Event how = Event::make)
      : block(shub::os::openOrCreateBlock(name, SHUB_BLOCK_SIZE)), address(block.data()) {
    event = how == Event::open ? shub::os::Event::open(name + ":EVENT") : shub::os::Event::create(name + ":EVENT");
    if (how == Event::makeSignalled) event.signal();
  }

  // A whole frame: data, then the length word (the frame's size unless
  // given); no event.
  void put(const std::vector<uint8_t>& bytes, std::optional<uint32_t> length = std::nullopt) const {
    storeBlockBytes(address, SHUB_BLOCK_DATA_OFFSET, bytes.data(), static_cast<uint32_t>(bytes.size()));
    storeBlockLength(address, length.value_or(static_cast<uint32_t>(bytes.size())));
  }
  // Bytes at a block offset, then the event, as a delivery would.
  void send(uint32_t offset, std::initializer_list<uint8_t> bytes) const {
    for (const uint8_t b : bytes) storeBlockByte(address, offset++, b);
    event.signal();
  }
  // The frame announced by the next signal, or empty after the time-out.
  std::vector<uint8_t> nextFrame(uint32_t timeoutMs = 5000) const {
    if (event.wait(std::chrono::milliseconds(timeoutMs)) != shub::os::WaitResult::signalled) return {};
    std::vector<uint8_t> frame(std::min(loadBlockLength(address), SHUB_BLOCK_DATA_SIZE));
    loadBlockBytes(address, SHUB_BLOCK_DATA_OFFSET, frame.data(), static_cast<uint32_t>(frame.size()));
    return frame;
  }
  // True when a signal is pending that nobody consumed (and takes it).
  bool pending() const { return event.wait(std::chrono::milliseconds(0)) == shub::os::WaitResult::signalled; }
};

}  // namespace testing_support
