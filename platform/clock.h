// Time: a wrapping 32-bit millisecond tick count, and pauses a stop can end.
#pragma once

#include <cstdint>
#include <stop_token>

namespace ce {

// Milliseconds of the monotonic clock, wrapping at 2^32: subtract two ticks
// in uint32_t to get the time between them.
uint32_t tickCount();

// Sleeps for `ms`; a stop of `stop` ends the pause at once, also one
// requested just before it began.
void pauseMs(uint32_t ms, std::stop_token stop = {});

}  // namespace ce
