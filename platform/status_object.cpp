// The alive lock is an exclusive flock on the status object's file: the
// kernel drops it however the daemon dies, so a client probing with a shared
// non-blocking flock never mistakes a leftover file for a live daemon.
#include "platform/status_object.h"

#include <cerrno>
#include <cstring>

#include <linux/membarrier.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <serialhub/protocol.h>

#include "platform/futex_internal.h"
#include "platform/paths.h"

namespace ce {

namespace {

// A client's probe holds a shared lock for microseconds, another daemon the
// exclusive one for ever: retrying for a while tells them apart.
bool takeAliveLock(int fd) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
    usleep(1000);
  }
  return false;  // errno stays EWOULDBLOCK
}

}  // namespace

bool openStatusObject(StatusObject& out, std::string& problem) {
  out = StatusObject{};
  errno = 0;
  NamedBlock block = openOrCreateBlock(SHUB_STATUS_NAME, SHUB_STATUS_SIZE);
  const int error = errno;
  const std::string what = "status object " + objectPath(SHUB_STATUS_NAME).value_or(SHUB_STATUS_NAME);
  if (!block.valid()) {
    // EINVAL: the name is taken by a file of another size.
    problem = error != 0 && error != EINVAL ? what + ": " + std::strerror(error)
                                            : what + ": not a file of " + std::to_string(SHUB_STATUS_SIZE) + " bytes";
    return false;
  }
  const bool locked = takeAliveLock(block.fd);
  out.address = locked ? mapBlock(block) : nullptr;
  if (out.address == nullptr) {
    problem = what + (locked ? " mapping: " : " lock: ") + std::strerror(errno);
    return false;
  }
  syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED, 0, 0);  // else watchers poll
  out.block = std::move(block);
  return true;
}

void closeStatusObject(StatusObject& status) {
  unmapBlock(status.address, SHUB_STATUS_SIZE);
  status = StatusObject{};  // closes the block
}

void wakeAllWaiters(uint32_t* word) { detail::futexWake(word, detail::kWakeAll, true); }

}  // namespace ce
