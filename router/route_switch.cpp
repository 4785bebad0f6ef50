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

// The old routing goes here, on the reader, which alone used it.
void RouteSwitch::take(const std::function<void(const Routing* old, Routing& next)>& onSwitch) {
  std::unique_ptr<Routing> next;
  {
    const std::lock_guard lock(mutex_);
    next = std::move(next_);
    offered_.store(false, std::memory_order_relaxed);
  }
  if (!next) return;
  if (onSwitch) onSwitch(current_.get(), *next);
  current_ = std::move(next);
}

}  // namespace shub::router
