// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// shub_monitor_next as a program with the C library's default time_t calls it.
#pragma once

#include <cstdint>

struct shub_monitor;

namespace testing_support {

struct LongTimeFrame {
  int got = 0;
  int32_t channel = 0;
  uint32_t length = 0;
  long long seconds = 0;
  int firstByte = -1;
  bool guardIntact = true;
};
LongTimeFrame nextWithLongTime(shub_monitor* m, int timeoutMs);

}  // namespace testing_support
