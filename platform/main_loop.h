// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The daemon's main loop on a periodic tick until a stop signal (SIGTERM,
// SIGINT) lets the ordered shutdown run, with SIGHUP asking for a reload; and
// what it tells its service manager.
#pragma once

#include <chrono>
#include <functional>

namespace shub::os {

// Called on the first line of main, so that every thread inherits the mask
// and a stop signal that comes before the loop runs stays pending until it does.
void blockStopSignals();

// An arena per service thread would cost a dirty page or two apiece for good.
void useOneHeap();

class MainLoop {
 public:
  // Not valid, said on stderr, when the loop's descriptors cannot be made.
  explicit MainLoop(std::chrono::milliseconds period);
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  bool valid() const { return timerFd_ >= 0; }
  struct Handlers {
    std::function<void()> tick;     // every period; ticks missed while it ran give one call, never a burst
    std::function<void()> reload;   // at SIGHUP
    int watched = -1;               // a descriptor of the caller's, or -1
    std::function<void()> readable;  // whenever `watched` is readable
  };
  // Runs the handlers from now until a stop signal arrives; a stop pending
  // with a tick wins.
  void run(const Handlers& handlers);

 private:
  int signalFd_ = -1, timerFd_ = -1;  // the timer is disarmed until the loop runs
  std::chrono::milliseconds period_;
};

// Sends `state` ("READY=1", "STOPPING=1", "WATCHDOG=1", "RELOADING=1") to $NOTIFY_SOCKET, a
// path or an abstract name written "@name"; false when unset or not sent.
bool notifyServiceManager(const char* state);

// "RELOADING=1" with the MONOTONIC_USEC= the service manager asks beside it.
bool notifyReloading();

// True when WATCHDOG_USEC is set and WATCHDOG_PID, if set, names this process.
bool watchdogRequested();

}  // namespace shub::os
