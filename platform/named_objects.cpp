// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Named blocks, events, instance locks and the daemon's status object: files
// in $CE_OBJECTS (a tmpfs by default) that outlive their makers. They survive
// creators racing for a name (nobody sees an object half made) and files
// planted or shrunk by other processes (mapping_guard.cpp).
#include <bit>
#include <cerrno>
#include <cstring>
#include <span>

#include <fcntl.h>
#include <linux/membarrier.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <serialhub/protocol.h>

#include "platform/log.h"
#include "platform/named_objects.h"
#include "platform/paths.h"

static_assert(std::endian::native == std::endian::little, "the object files are little-endian");

namespace shub::os {

namespace {

// Opens the object file at `path`, or creates it with `size` bytes, zeros
// after `initial`, under a dot name linked into place (the first link wins).
int openOrCreateObjectFile(const std::string& path, uint32_t size, std::span<const std::byte> initial) {
  const size_t slash = path.rfind('/') + 1;
  // Repeats only when the name vanishes between a failed link and the open.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = openObjectFile(path, size);
    if (fd >= 0 || errno != ENOENT) return fd;
    std::string temporary = path.substr(0, slash) + "." + path.substr(slash) + ".XXXXXX";
    if ((fd = mkostemp(temporary.data(), O_CLOEXEC)) < 0) return -1;
    // Group members use the objects, others never: whatever the umask.
    const bool made = fchmod(fd, 0660) == 0 && ftruncate(fd, size) == 0 &&
                      pwrite(fd, initial.data(), initial.size(), 0) == static_cast<ssize_t>(initial.size()) &&
                      link(temporary.c_str(), path.c_str()) == 0;
    const int error = errno;
    unlink(temporary.c_str());
    if (made) return fd;
    close(fd);
    errno = error;
    if (error != EEXIST) return -1;
  }
  return -1;
}

// Mapped under the SIGBUS guard, which says once that the file shrank.
Block openOrCreateObject(std::string_view name, uint32_t size, std::span<const std::byte> initial = {}) {
  const std::optional<std::string> path = objectPath(name);
  errno = EINVAL;
  if (!path || size == 0) return Block();
  return Block(openOrCreateObjectFile(*path, size, initial), size,
               logLinePrefix(LogLevel::warning) + *path +
                   ": the file shrank under us (another process truncated it); this object no longer works\n");
}

}  // namespace

Block openOrCreateBlock(std::string_view name, uint32_t size) { return openOrCreateObject(name, size); }

Event Event::create(std::string_view name) {
  // The magic is in the file before it is linked: nobody sees a state word without it.
  const uint32_t initial[2] = {0, SHUB_EVENT_MAGIC};
  Event event;
  event.file_ = openOrCreateObject(name, SHUB_EVENT_SIZE, std::as_bytes(std::span(initial)));
  if (!event.hasMagic()) event.file_ = Block();
  return event;
}

// Whether another process holds the name: flock converts by dropping the lock,
// so a bare try-exclusive-then-downgrade lets two starters both see it free. An
// OFD write lock (which flock never sees) serialises the check-and-downgrade.
InstanceLock::InstanceLock(std::string_view name) {
  const std::optional<std::string> path = objectPath(name);
  // Never through a link: it would create or lock whatever file it points at.
  const int fd = path ? open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0660) : -1;
  struct stat info {};
  struct flock gate {};
  gate.l_type = F_WRLCK;
  bool held = fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  while (held && fcntl(fd, F_OFD_SETLKW, &gate) != 0) held = errno == EINTR;
  if (held) {
    heldElsewhere_ = flock(fd, LOCK_EX | LOCK_NB) != 0;  // holders only ever hold it shared
    held = flock(fd, LOCK_SH | LOCK_NB) == 0;
    gate.l_type = F_UNLCK;
    fcntl(fd, F_OFD_SETLK, &gate);
  }
  heldElsewhere_ = heldElsewhere_ && held;
  if (!held && fd >= 0) close(fd);
  fd_ = held ? fd : -1;
}

InstanceLock::~InstanceLock() { if (fd_ >= 0) close(fd_); }

bool StatusObject::open(std::string* why) {
  const std::string what = "status object " + objectPath(SHUB_STATUS_NAME).value_or(SHUB_STATUS_NAME);
  errno = 0;
  block_ = openOrCreateBlock(SHUB_STATUS_NAME, SHUB_STATUS_SIZE);
  // The daemon-alive lock is an exclusive flock, which the kernel drops however
  // the daemon dies. A client's probe holds a shared one for microseconds,
  // another daemon the exclusive one for ever: retrying a while tells them apart.
  const bool locked = block_.valid() && lockExclusiveUntil(block_.fd(), Clock::now() + std::chrono::milliseconds(200));
  if (!locked && errno == ETIMEDOUT) errno = EWOULDBLOCK;  // the operator is told the lock is busy
  if (locked) {
    syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED, 0, 0);  // else watchers poll
    return true;
  }
  const bool wrongSize = !block_.valid() && (errno == 0 || errno == EINVAL);  // a file of another size
  if (why) {
    *why = wrongSize ? what + ": not a file of " + std::to_string(SHUB_STATUS_SIZE) + " bytes"
                     : what + (block_.valid() ? " lock: " : ": ") + std::strerror(errno);
  }
  block_ = Block();
  return false;
}

}  // namespace shub::os
