// A pause ends early on a stop, or stopping its thread would wait out the pause.
#include "platform/clock.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ce {

uint32_t tickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void pauseMs(uint32_t ms, std::stop_token stop) {
  // The wait's own stop callback wakes it, also for a stop that came just before.
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
}

}  // namespace ce
