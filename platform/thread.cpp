// Thread start and stop. The standard thread reports a failed start by
// throwing; here it becomes an empty thread, so a daemon short of threads goes
// on without the service instead of ending.
#include "platform/thread.h"

#include <system_error>
#include <utility>

namespace ce {

std::jthread startThread(ThreadRoutine routine) {
  if (!routine) return {};
  try {
    return std::jthread(std::move(routine));
  } catch (const std::system_error&) {
    return {};
  }
}

void stopThread(std::jthread& thread) {
  thread.request_stop();
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

}  // namespace ce
