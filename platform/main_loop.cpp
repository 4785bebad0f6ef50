// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The main loop over a signalfd (the stop and reload signals) and a timerfd (the tick).
// It must survive stop signals sent before it runs, ticks far longer than the
// period and EINTR. The notify protocol is written by hand (no libsystemd): a
// bad or vanished socket is a failed send, never a blocked loop.
#include "platform/main_loop.h"

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/log.h"

namespace shub::os {

namespace {

const sigset_t kStopSignals = [] {
  sigset_t set;
  sigemptyset(&set);
  for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, signalNumber);
  return set;
}();

void sayFailure(const char* what) { logError("main loop: %s: %s", what, std::strerror(errno)); }

}  // namespace

void blockStopSignals() { pthread_sigmask(SIG_BLOCK, &kStopSignals, nullptr); }

void useOneHeap() { mallopt(M_ARENA_MAX, 1); }

MainLoop::MainLoop(std::chrono::milliseconds period) : period_(period) {
  signalFd_ = signalfd(-1, &kStopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd_ >= 0) timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timerFd_ < 0) sayFailure(signalFd_ < 0 ? "signalfd for SIGTERM, SIGINT, SIGHUP" : "timerfd for the tick");
}

MainLoop::~MainLoop() {
  for (const int fd : {signalFd_, timerFd_}) close(fd);  // -1 is refused harmlessly
}

void MainLoop::run(const Handlers& handlers) {
  const auto ms = static_cast<uint64_t>(period_.count());
  // A period of 0 would disarm the timer.
  const timespec period{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000 + (ms == 0))};
  const itimerspec schedule{period, period};
  // Without a tick the loop still waits for the stop signal.
  if (timerfd_settime(timerFd_, 0, &schedule, nullptr) != 0) sayFailure("timerfd_settime for the tick");
  pollfd fds[3] = {{signalFd_, POLLIN, 0}, {timerFd_, POLLIN, 0}, {handlers.watched, POLLIN, 0}};
  for (;;) {
    if (poll(fds, handlers.watched >= 0 ? 3 : 2, -1) < 0) {
      if (errno == EINTR) continue;
      sayFailure("poll");  // end the loop, so shutdown runs, rather than spin
      return;
    }
    signalfd_siginfo signal{};
    if ((fds[0].revents & POLLIN) && read(signalFd_, &signal, sizeof signal) == sizeof signal) {
      if (signal.ssi_signo != SIGHUP) return;
      if (handlers.reload) handlers.reload();
    }
    uint64_t expirations = 0;  // how many is of no interest: missed ticks give one call
    if ((fds[1].revents & POLLIN) && read(timerFd_, &expirations, sizeof expirations) > 0 && handlers.tick) {
      handlers.tick();
    }
    if ((fds[2].revents & POLLIN) && handlers.readable) handlers.readable();
  }
}

bool notifyServiceManager(const char* state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  const size_t length = name != nullptr ? std::strlen(name) : 0;
  if (state == nullptr || length < 2 || length >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@')) {
    return false;
  }
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';  // abstract: no terminating zero counts
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '/'));
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const ssize_t sent = sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), size);
  close(fd);
  return sent == static_cast<ssize_t>(std::strlen(state));
}

bool notifyReloading() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto usec = static_cast<unsigned long long>(now.tv_sec) * 1000000 + static_cast<unsigned long long>(now.tv_nsec) / 1000;
  return notifyServiceManager(("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec)).c_str());
}

bool watchdogRequested() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  return usec != nullptr && std::strtoull(usec, nullptr, 10) != 0 &&
         (pid == nullptr || std::strtol(pid, nullptr, 10) == static_cast<long>(getpid()));
}

}  // namespace shub::os
