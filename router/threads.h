// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Pauses and threads with a cooperative stop, for the daemon's services and
// tools: the stop token ends each wait (Event::wait, pauseFor, the serial link) at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <system_error>
#include <thread>

namespace shub::router {

// Sleeps for `duration`; a stop ends it at once, even one requested just before.
inline void pauseFor(std::chrono::milliseconds duration, std::stop_token stop = {}) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, stop, duration, [] { return false; });
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

}  // namespace shub::router
