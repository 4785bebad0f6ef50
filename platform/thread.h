// Threads with a cooperative stop: a std::jthread whose routine is handed its
// stop token and passes it to every wait it makes (waitEvent, pauseMs, the
// serial port's calls), each of which ends at once when the token is stopped.
// stopThread() returns once the routine has returned, so nothing runs on that
// thread afterwards.
#pragma once

#include <functional>
#include <stop_token>
#include <thread>

namespace ce {

using ThreadRoutine = std::function<void(std::stop_token)>;

// Starts `routine` on a new thread. A thread that is not joinable when the
// system has none to give (or `routine` is empty).
std::jthread startThread(ThreadRoutine routine);

// Requests the stop and waits until the routine has returned. Does nothing to
// a thread that is not joinable; calling it twice is harmless.
void stopThread(std::jthread& thread);

}  // namespace ce
