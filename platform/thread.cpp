// The standard thread reports a failed start by throwing; here it is an empty thread.
#include "platform/thread.h"

#include <system_error>

namespace ce {

std::jthread startThread(std::function<void(std::stop_token)> routine) {
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
