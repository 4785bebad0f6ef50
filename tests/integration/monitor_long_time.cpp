// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A program built with the C library's default time_t: on a 32-bit target
// whose builds otherwise use a 64-bit one, its timespecs are two longs.
#undef _TIME_BITS
#include "tests/integration/monitor_long_time.h"

#include <serialhub/channel.h>

namespace testing_support {

LongTimeFrame nextWithLongTime(shub_monitor* m, int timeoutMs) {
  // Guarded on both sides: a library that wrote a wider frame would show here.
  struct {
    shub_frame frame;
    unsigned char guard[32];
  } seen;
  for (unsigned char& byte : seen.guard) byte = 0xA5;
  LongTimeFrame result;
  result.got = shub_monitor_next(m, timeoutMs, &seen.frame);
  result.channel = seen.frame.channel;
  result.length = seen.frame.length;
  result.seconds = seen.frame.time.tv_sec;
  result.firstByte = seen.frame.length > 0 ? seen.frame.data[0] : -1;
  for (unsigned char byte : seen.guard) result.guardIntact = result.guardIntact && byte == 0xA5;
  return result;
}

}  // namespace testing_support
