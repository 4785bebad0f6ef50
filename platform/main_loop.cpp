// The main loop over a signalfd (the stop signals) and a timerfd (the tick).
//
// signalfd only receives what no thread would take by the default action, so
// the signals are blocked from the first line of main and every later thread
// inherits that. It must survive: a stop signal sent before the loop exists
// (pending, read at the first look), several stop signals (one ends the loop),
// a tick callback that runs far longer than the period (the expiration count
// collapses into one call), EINTR from a debugger or a stop/continue, and a
// tick and a stop arriving together (stop first).
#include "platform/main_loop.h"

#include <poll.h>
#include <malloc.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ce {

struct MainLoop {
  int signalFd = -1;
  int timerFd = -1;  // disarmed until the loop runs
  uint32_t periodMs = 0;
};

namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, signalNumber);
  return set;
}

void sayFailure(const char* what) {
  std::fprintf(stderr, "main loop: %s: %s\n", what, std::strerror(errno));
}

// Arms the tick: the first one `periodMs` from now, then every `periodMs`.
bool armTick(int fd, uint32_t periodMs) {
  timespec period{};
  period.tv_sec = static_cast<time_t>(periodMs / 1000);
  period.tv_nsec = static_cast<long>(periodMs % 1000) * 1000000L;
  if (periodMs == 0) period.tv_nsec = 1;  // a zero value would disarm it
  const itimerspec schedule{.it_interval = period, .it_value = period};
  return timerfd_settime(fd, 0, &schedule, nullptr) == 0;
}

// True when a stop signal was taken off the descriptor.
bool takeStopSignal(int fd) {
  signalfd_siginfo info{};
  return read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
}

// True when the timer expired at least once since the last read; the count of
// expirations is dropped on purpose.
bool takeTick(int fd) {
  uint64_t expirations = 0;
  return read(fd, &expirations, sizeof expirations) == static_cast<ssize_t>(sizeof expirations) &&
         expirations > 0;
}

}  // namespace

void blockStopSignals() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void useOneHeap() { mallopt(M_ARENA_MAX, 1); }

MainLoop* openMainLoop(uint32_t periodMs) {
  const sigset_t set = stopSignals();
  const int signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) {
    sayFailure("signalfd for SIGTERM, SIGINT, SIGHUP");
    return nullptr;
  }
  const int timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timerFd < 0) {
    sayFailure("timerfd for the tick");
    close(signalFd);
    return nullptr;
  }
  return new MainLoop{.signalFd = signalFd, .timerFd = timerFd, .periodMs = periodMs};
}

void runMainLoop(MainLoop* loop, const std::function<void()>& onTick) {
  if (loop == nullptr) return;
  // Without a tick the loop still waits for the stop signal.
  if (!armTick(loop->timerFd, loop->periodMs)) sayFailure("timerfd_settime for the tick");
  pollfd fds[2] = {{loop->signalFd, POLLIN, 0}, {loop->timerFd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      sayFailure("poll");  // end the loop, so shutdown runs, rather than spin
      return;
    }
    if ((fds[0].revents & POLLIN) != 0 && takeStopSignal(loop->signalFd)) return;
    if ((fds[1].revents & POLLIN) != 0 && takeTick(loop->timerFd) && onTick) onTick();
  }
}

void closeMainLoop(MainLoop* loop) {
  if (loop == nullptr) return;
  close(loop->signalFd);
  close(loop->timerFd);
  delete loop;
}

}  // namespace ce
