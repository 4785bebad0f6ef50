// Threads with a cooperative stop: the routine passes its stop token to every
// wait it makes (waitEvent, pauseMs, the serial port), which ends at once on a stop.
#pragma once

#include <functional>
#include <stop_token>
#include <system_error>
#include <thread>

namespace ce {

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

}  // namespace ce
