// The tick count and pauses. The tick count wraps every 49.7 days, so callers
// only ever subtract ticks in uint32_t. A pause inside a platform thread must
// end early when the thread is asked to stop, or stopThread() would hang for
// the rest of the pause.
#include "platform/clock.h"

#include <cerrno>
#include <ctime>

#include "platform/futex_internal.h"
#include "platform/thread_internal.h"

namespace ce {

uint32_t tickCount() {
  const timespec now = detail::monotonicNow();
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);  // truncation is the wrap
}

void pauseMs(uint32_t ms) {
  const detail::Deadline deadline = detail::deadlineAfterMs(ms, false);
  uint32_t* word = detail::currentPauseWord();
  if (!word) {
    // Not a platform thread: nothing can cut the pause short.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline.at, nullptr) == EINTR) {
    }
    return;
  }
  detail::BlockedScope blocked(word, false);
  while (!detail::currentStopRequested() && !detail::deadlinePassed(deadline)) {
    detail::futexWaitUntil(word, 0, deadline, false);
  }
}

}  // namespace ce
