// Private to platform/, open to tests: the retry gate of the uinput mouse and the X
// connection (no hammering, no flooded stderr), and the uinput mouse's input events.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/log.h"
#include "platform/pointer.h"

namespace shub::os::detail {

struct RetryGate {
  // True when an attempt at `next` may start at `now`: at most one a second
  // at the same target, at once at another. Marks the attempt made.
  bool due(const std::string& next, std::chrono::steady_clock::time_point now) {
    if (tried && next == target && now - at < std::chrono::seconds(1)) return false;
    tried = true, target = next, at = now;
    return true;
  }
  // Ends the outage: a loss right after a success is retried at once.
  void succeeded() {
    failures.reset();
    tried = false;
  }

  std::string target;  // of the last attempt
  std::chrono::steady_clock::time_point at;
  bool tried = false;
  SayOnce failures;  // the first failure since the last success is said
};

// The input events (linux/input.h) of one pointer event on the uinput mouse:
// absolute motion clamped to the axes, button 1, then SYN_REPORT.
struct InputEvent {
  uint16_t type = 0, code = 0;
  int32_t value = 0;
  bool operator==(const InputEvent&) const = default;
};

std::vector<InputEvent> uinputEvents(const PointerEvent& event);

}  // namespace shub::os::detail
