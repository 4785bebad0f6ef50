// What a client of the daemon needs from the system, compiled into
// libserialhub too: it runs inside other people's programs, so it creates no
// object, installs no signal handler, starts no thread, and leaves errno set.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace shub::os {

struct MappedObject {
  int fd = -1;
  uint8_t* address = nullptr;
  uint32_t size = 0;
  const std::atomic<bool>* tripped = nullptr;  // the SIGBUS guard's flag of this mapping
};

// Opens $CE_OBJECTS/<name>, which must be a regular file of exactly `size`
// bytes (a link is never followed), and maps it shared under the SIGBUS guard
// (mapping_guard.h). False with errno: ENOENT missing, EACCES not allowed,
// EINVAL not such an object.
bool openMappedObject(const char* name, uint32_t size, MappedObject& out);
void closeMappedObject(MappedObject& object);

// True once another process truncated the object's file under the mapping:
// it reads as zeros from then on, so nothing read from it can be trusted.
bool objectBroken(const MappedObject& object);

// Sleeps while the shared futex word holds `expected`, for at most
// `timeoutMs` (negative: no limit). Returns on any wake-up, callers re-check;
// false when a signal handler interrupted the sleep.
bool waitSharedWord(uint32_t* word, uint32_t expected, int64_t timeoutMs);
void wakeSharedWord(uint32_t* word, int count);

// A full memory barrier on every thread of every process registered for it
// (the daemon is). False when the kernel cannot.
bool fenceRegisteredProcesses();

// True when another process holds an exclusive flock on the file of `fd`.
bool lockedByAnother(int fd);

// Takes an exclusive flock on the file of `fd`, trying until `deadlineMs`
// (monotonic ms). False with errno: ETIMEDOUT, or the OS error.
bool lockExclusiveUntil(int fd, int64_t deadlineMs);

int64_t monotonicMs();

namespace detail {

// openMappedObject's open, for the daemon too: a link planted there would
// have us write into whatever it points at.
int openObjectFile(const std::string& path, uint32_t size);

}  // namespace detail

}  // namespace shub::os
