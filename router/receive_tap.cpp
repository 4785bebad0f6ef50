// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Making the tap object; see receive_tap.h.
#include "router/receive_tap.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <serialhub/protocol.h>

#include "platform/paths.h"

namespace shub::router {

std::unique_ptr<ReceiveTap> openReceiveTap(std::string* why) {
  auto tap = std::make_unique<ReceiveTap>();
  errno = 0;
  tap->block = os::openOrCreateBlock(SHUB_TAP_NAME, SHUB_TAP_SIZE);
  if (!tap->block.valid()) {
    const std::string path = "tap " + os::objectPath(SHUB_TAP_NAME).value_or(SHUB_TAP_NAME);
    // EINVAL: the name is taken by a file of another size.
    const std::string problem = errno != 0 && errno != EINVAL
                                    ? path + ": " + std::strerror(errno)
                                    : path + ": not a file of " + std::to_string(SHUB_TAP_SIZE) + " bytes";
    if (why != nullptr) *why = problem + "; the line is not tapped";
    return nullptr;
  }
  tap->writer = std::make_unique<TapWriter>(tap->block.data());
  return tap;
}

uint64_t tapClockUs() {
  // steady_clock is CLOCK_MONOTONIC here, read without a system call.
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

}  // namespace shub::router
