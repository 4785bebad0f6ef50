// What a client of the daemon needs from the system, compiled into
// libserialhub too: it runs inside other people's programs, so it creates no
// object, installs no signal handler, starts no thread, and leaves errno set.
#pragma once

#include <cstdint>
#include <string>

namespace ce {

struct MappedObject {
  int fd = -1;
  uint8_t* address = nullptr;
  uint32_t size = 0;
};

// Opens $CE_OBJECTS/<name>, which must be a regular file of exactly `size`
// bytes (a link is never followed), and maps it shared. False with errno:
// ENOENT missing, EACCES not allowed, EINVAL not such an object.
bool openMappedObject(const char* name, uint32_t size, MappedObject& out);
void closeMappedObject(MappedObject& object);

// Sleeps while the shared futex word holds `expected`, for at most
// `timeoutMs` (negative: no limit). Returns on any wake-up; callers re-check.
void waitSharedWord(uint32_t* word, uint32_t expected, int64_t timeoutMs);
void wakeSharedWord(uint32_t* word, int count);

// A full memory barrier on every thread of every process registered for it
// (the daemon is). False when the kernel cannot.
bool fenceRegisteredProcesses();

// True when another process holds an exclusive flock on the file of `fd`.
bool lockedByAnother(int fd);

int64_t monotonicMs();

namespace detail {

// openMappedObject's open, for the daemon too: a link planted there would
// have us write into whatever it points at.
int openObjectFile(const std::string& path, uint32_t size);

}  // namespace detail

}  // namespace ce
