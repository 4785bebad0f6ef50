// Time: a wrapping 32-bit millisecond tick count, and pauses a stop can end
// (or stopping a thread would wait out its pause).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

namespace ce {

// Milliseconds of the monotonic clock, wrapping at 2^32: subtract two ticks
// in uint32_t to get the time between them.
inline uint32_t tickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Sleeps for `ms`; a stop of `stop` ends the pause at once, also one requested
// just before it began (the wait's own stop callback wakes it).
inline void pauseMs(uint32_t ms, std::stop_token stop = {}) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
}

}  // namespace ce
