// The status object's file, lock and wake-up. The lock is an exclusive flock
// on the object's file: the kernel drops it when the daemon dies however it
// dies, so a client probing with a shared non-blocking flock never mistakes a
// leftover file for a live daemon.
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

// A client's probe holds a shared lock for a few microseconds; another daemon
// holds the exclusive one for ever. Retrying a while tells them apart.
bool takeAliveLock(int fd) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
    usleep(1000);
  }
  errno = EWOULDBLOCK;
  return false;
}

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

bool openStatusObject(StatusObject& out, std::string& problem) {
  out = StatusObject{};
  errno = 0;
  NamedBlock block = openOrCreateBlock(SHUB_STATUS_NAME, SHUB_STATUS_SIZE);
  if (!block.valid()) {
    const std::string path = objectPath(SHUB_STATUS_NAME).value_or(SHUB_STATUS_NAME);
    // EINVAL: the name is taken by a file of another size.
    problem = errno != 0 && errno != EINVAL ? failure("status object " + path)
                         : "status object " + path + ": not a file of " + std::to_string(SHUB_STATUS_SIZE) + " bytes";
    return false;
  }
  if (!takeAliveLock(block.fd)) {
    problem = failure("status object " + block.path + " lock");
    closeBlock(block);
    return false;
  }
  uint8_t* address = mapBlock(block);
  if (address == nullptr) {
    problem = failure("status object " + block.path + " mapping");
    closeBlock(block);
    return false;
  }
  // Without it, watchers fall back to waking every few milliseconds.
  syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED, 0, 0);
  out.block = std::move(block);
  out.address = address;
  return true;
}

void closeStatusObject(StatusObject& status) {
  if (status.address != nullptr) unmapBlock(status.address, SHUB_STATUS_SIZE);
  closeBlock(status.block);
  status = StatusObject{};
}

void wakeAllWaiters(uint32_t* word) { detail::futexWake(word, detail::kWakeAll, true); }

}  // namespace ce
