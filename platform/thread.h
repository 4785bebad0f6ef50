// Threads with a cooperative stop: the routine is handed its stop token and
// passes it to every wait it makes (waitEvent, pauseMs, the serial port),
// each of which ends at once when the token is stopped.
#pragma once

#include <functional>
#include <stop_token>
#include <thread>

namespace ce {

// `routine` on a new thread; a thread that is not joinable when the system
// has none to give, so a daemon short of threads goes on without the service.
std::jthread startThread(std::function<void(std::stop_token)> routine);

// Requests the stop and returns once the routine has; harmless on a thread
// that is not joinable, or twice.
void stopThread(std::jthread& thread);

}  // namespace ce
