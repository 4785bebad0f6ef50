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

#include "platform/named_block.h"
#include "platform/named_event.h"
#include "router/channel_block.h"

using namespace shub::router;

namespace testing_support {

struct TestChannel {
  enum class Event { open, make, makeSignalled };

  shub::os::NamedBlock block;
  uint8_t* address = nullptr;
  shub::os::NamedEvent* event = nullptr;

  explicit TestChannel(const std::string& name, Event how = Event::make) {
    block = shub::os::openOrCreateBlock(name, kChannelBlockSize);
    address = shub::os::mapBlock(block);
    const std::string eventName = name + ":EVENT";
    event = how == Event::open ? shub::os::openEvent(eventName.c_str())
                               : shub::os::createEvent(eventName.c_str(), how == Event::makeSignalled);
  }
  ~TestChannel() {
    if (address) shub::os::unmapBlock(address, kChannelBlockSize);
    shub::os::closeBlock(block);
    shub::os::closeEvent(event);
  }
  TestChannel(const TestChannel&) = delete;
  TestChannel& operator=(const TestChannel&) = delete;

  // A whole frame: data, then the length word (the frame's size unless
  // given); no event.
  void put(const std::vector<uint8_t>& bytes, std::optional<uint32_t> length = std::nullopt) const {
    storeBlockBytes(address, kBlockDataOffset, bytes.data(), static_cast<uint32_t>(bytes.size()));
    storeBlockLength(address, length.value_or(static_cast<uint32_t>(bytes.size())));
  }
  // Bytes at a block offset, then the event, as a delivery would.
  void send(uint32_t offset, std::initializer_list<uint8_t> bytes) const {
    for (const uint8_t b : bytes) storeBlockByte(address, offset++, b);
    shub::os::setEvent(event);
  }
  // The frame announced by the next signal, or empty after the time-out.
  std::vector<uint8_t> nextFrame(uint32_t timeoutMs = 5000) const {
    if (shub::os::waitEvent(event, timeoutMs) != shub::os::WaitResult::signalled) return {};
    std::vector<uint8_t> frame(std::min(loadBlockLength(address), kBlockDataSize));
    loadBlockBytes(address, kBlockDataOffset, frame.data(), static_cast<uint32_t>(frame.size()));
    return frame;
  }
  // True when a signal is pending that nobody consumed (and takes it).
  bool pending() const { return shub::os::waitEvent(event, 0) == shub::os::WaitResult::signalled; }
};

}  // namespace testing_support
