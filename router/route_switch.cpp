// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
#include "router/route_switch.h"

namespace shub::router {

void RouteSwitch::offer(std::unique_ptr<Routing> next) {
  std::unique_ptr<Routing> unused;
  {
    const std::lock_guard lock(mutex_);
    unused = std::exchange(next_, std::move(next));
    offered_.store(true, std::memory_order_release);
  }
}

std::unique_ptr<Routing> RouteSwitch::take() {
  const std::lock_guard lock(mutex_);
  offered_.store(false, std::memory_order_relaxed);
  return std::move(next_);
}

}  // namespace shub::router
