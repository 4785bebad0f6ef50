// A pause ends early on a stop, or stopping its thread would wait out the pause.
#include "platform/clock.h"

#include <cerrno>
#include <ctime>

#include "platform/futex_internal.h"
#include "platform/stop_word_internal.h"

namespace ce {

uint32_t tickCount() {
  const timespec now = detail::monotonicNow();
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

void pauseMs(uint32_t ms, std::stop_token stop) {
  const detail::Deadline deadline = detail::deadlineAfterMs(ms, false);
  if (!stop.stop_possible()) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline.at, nullptr) == EINTR) {
    }
    return;
  }
  // The stop raises the very word the pause sleeps on, so it cannot slip in
  // between the check and the sleep.
  detail::StopWord stopWord(stop);
  while (!stop.stop_requested() && !detail::deadlinePassed(deadline)) {
    detail::futexWaitUntil(stopWord.word(), 0, deadline, false);
  }
}

}  // namespace ce
