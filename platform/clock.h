// Time: pauses and a wrapping 32-bit millisecond tick count.
#pragma once

#include <cstdint>

namespace ce {

// Milliseconds since an arbitrary start, wrapping at 2^32; subtract two ticks
// in uint32_t to get the time between them.
uint32_t tickCount();

// Sleeps the calling thread for `ms`. Inside a platform thread a stop request
// ends the pause early.
void pauseMs(uint32_t ms);

}  // namespace ce
