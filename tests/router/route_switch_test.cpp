// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The route switch with its two threads: tables offered on one are taken by
// the reader between reads, in order, each old one handed to the switch
// callback before it goes, and an offer not taken yet is dropped unused.
#include "router/route_switch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/wait.h"

using namespace shub::router;

namespace {

std::unique_ptr<Routing> numbered(uint32_t n) {
  auto routing = std::make_unique<Routing>();
  routing->table.count = n;  // the number rides in the count; no entry is read
  return routing;
}

TEST(RouteSwitch, TheReaderTakesEachNewerTableBetweenReads) {
  RouteSwitch routes;
  routes.offer(numbered(0));
  std::atomic<uint32_t> seen{0};
  std::atomic<bool> done{false};
  std::jthread reader([&] {
    uint32_t switches = 0;
    while (!done.load()) {
      const Routing* current = routes.forRead([&](const Routing* old, Routing& next) {
        EXPECT_EQ(old == nullptr, switches++ == 0);
        if (old != nullptr) {
          EXPECT_LT(old->table.count, next.table.count) << "an older table came back";
        }
      });
      seen.store(current->table.count);
    }
  });
  for (uint32_t n = 1; n <= 2000; ++n) routes.offer(numbered(n));
  ASSERT_TRUE(testing_support::waitUntil([&] { return seen.load() == 2000; }));
  done = true;
}

}  // namespace
