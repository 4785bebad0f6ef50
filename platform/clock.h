// Time and threads with a cooperative stop: a wrapping 32-bit millisecond tick,
// and threads whose stop token ends each wait (waitEvent, pauseMs, serial) at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <system_error>
#include <thread>

namespace shub::os {

// Monotonic milliseconds, wrapping at 2^32: subtract two ticks in uint32_t for the time between.
inline uint32_t tickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Sleeps for `ms`; a stop ends it at once, even one requested just before.
inline void pauseMs(uint32_t ms, std::stop_token stop = {}) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
}

// `routine` on a new thread, or a thread that is not joinable when the system
// has none to give: a daemon short of threads goes on without the service.
inline std::jthread startThread(std::function<void(std::stop_token)> routine) {
  try {
    return routine ? std::jthread(std::move(routine)) : std::jthread();
  } catch (const std::system_error&) {
    return {};
  }
}

// Requests the stop and returns once the routine has; harmless when repeated.
inline void stopThread(std::jthread& thread) {
  thread.request_stop();
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

}  // namespace shub::os
