// Threads with a cooperative stop: the routine is handed its stop token and
// passes it to every wait it makes (waitEvent, pauseMs, the serial port),
// each of which ends at once when the token is stopped.
#pragma once

#include <functional>
#include <stop_token>
#include <system_error>
#include <thread>

namespace ce {

// `routine` on a new thread. The standard thread throws when the system has
// none to give; here it is a thread that is not joinable, so a daemon short
// of threads goes on without the service.
inline std::jthread startThread(std::function<void(std::stop_token)> routine) {
  try {
    return routine ? std::jthread(std::move(routine)) : std::jthread();
  } catch (const std::system_error&) {
    return {};
  }
}

// Requests the stop and returns once the routine has; harmless on a thread
// that is not joinable, or twice.
inline void stopThread(std::jthread& thread) {
  thread.request_stop();
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

}  // namespace ce
