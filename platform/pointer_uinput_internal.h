// Private to the pointer module, open to tests: the input events that carry
// one pointer event on the uinput mouse.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/pointer.h"

namespace ce::detail {

struct InputEvent {
  uint16_t type = 0, code = 0;  // linux/input.h
  int32_t value = 0;
  bool operator==(const InputEvent&) const = default;
};

// Absolute motion (clamped to the axes) and button 1, then SYN_REPORT.
std::vector<InputEvent> uinputEvents(const PointerEvent& event);

}  // namespace ce::detail
