// Private to platform/: when a device or connection that failed may be tried
// again, and when its failure is said. Shared by the uinput pointer and the
// daemon's X connection, which must neither hammer a missing device nor fill
// stderr with one outage.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace ce::detail {

struct RetryGate {
  static constexpr uint32_t kPeriodMs = 1000;

  // True when an attempt at `next` may start at tick `now`: at most one a
  // second at the same target, at once at another. Marks the attempt made.
  bool due(const std::string& next, uint32_t now) {
    if (tried && next == target && now - at < kPeriodMs) return false;
    tried = true, target = next, at = now;
    return true;
  }
  // True the first time a failure is met since the last success.
  bool sayOnce() { return !std::exchange(said, true); }
  void succeeded() { said = false; }

  std::string target;  // of the last attempt
  uint32_t at = 0;
  bool tried = false;
  bool said = false;
};

}  // namespace ce::detail
