// Named-object files: atomic creation, and the SIGBUS guard of their mappings.
//
// Another process may truncate an object under our mapping; touching a page
// past the new end raises SIGBUS on whichever thread touched it. The handler
// therefore only reads lock-free atomics of a fixed table and calls mmap and
// write. A slot is published (end, message) before its start and retired
// before its unmap, so the handler never repairs a range no longer ours.
#include "platform/object_file_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/log.h"

namespace ce::detail {

int openOrCreateObjectFile(const std::string& path, uint32_t size, std::span<const std::byte> initial) {
  const size_t slash = path.rfind('/') + 1;
  // Repeats only when the name vanishes between a failed link and the open.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = openObjectFile(path, size);
    if (fd >= 0 || errno != ENOENT) return fd;
    std::string temporary = path.substr(0, slash) + "." + path.substr(slash) + ".XXXXXX";
    fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return -1;
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

namespace {

struct GuardSlot {
  std::atomic<uintptr_t> begin{0};  // 0: free
  std::atomic<uintptr_t> end{0};
  std::atomic<size_t> messageLength{0};  // taken by the first repair: said once
  char message[512] = {};
};

GuardSlot slots[128];  // far above the few dozen objects a process maps
struct sigaction previousAction {};
std::mutex slotsMutex;  // serialises claims and releases; never taken by the handler

// A SIGBUS of someone else's: to the previous handler, or back to the default
// action, which ends the process when the access runs again.
void passOn(int signal, siginfo_t* info, void* context) {
  if (previousAction.sa_flags & SA_SIGINFO) {
    previousAction.sa_sigaction(signal, info, context);
  } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(signal);
  } else {
    sigaction(SIGBUS, &previousAction, nullptr);
  }
}

void onBusError(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (GuardSlot& slot : slots) {
    const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    const uintptr_t end = slot.end.load(std::memory_order_relaxed);
    if (begin == 0 || address < begin || address >= end) continue;
    if (mmap(reinterpret_cast<void*>(begin), end - begin, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) {
      break;
    }
    if (const size_t length = slot.messageLength.exchange(0)) {
      [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, slot.message, length);
    }
    errno = savedErrno;
    return;
  }
  errno = savedErrno;
  passOn(signal, info, context);
}

bool guard(void* address, size_t size, const std::string& path) {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(SIGBUS, &action, &previousAction);
  });
  std::lock_guard lock(slotsMutex);
  for (GuardSlot& slot : slots) {
    if (slot.begin.load(std::memory_order_relaxed) != 0) continue;
    const int length = std::snprintf(slot.message, sizeof slot.message,
                                     "%s%s: the file shrank under us (another process truncated it); "
                                     "this object no longer works\n",
                                     logLinePrefix(LogLevel::warning).c_str(), path.c_str());
    slot.messageLength.store(std::min<size_t>(std::max(length, 0), sizeof slot.message - 1), std::memory_order_relaxed);
    slot.end.store(reinterpret_cast<uintptr_t>(address) + size, std::memory_order_relaxed);
    slot.begin.store(reinterpret_cast<uintptr_t>(address), std::memory_order_release);
    return true;
  }
  return false;
}

}  // namespace

void* mapObjectFile(int fd, size_t size, const std::string& path) {
  void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return nullptr;
  if (guard(address, size, path)) return address;
  munmap(address, size);
  return nullptr;
}

void unmapObjectFile(void* address, size_t size) {
  if (address == nullptr) return;
  {
    std::lock_guard lock(slotsMutex);
    for (GuardSlot& slot : slots) {
      if (slot.begin.load(std::memory_order_relaxed) == reinterpret_cast<uintptr_t>(address)) {
        slot.begin.store(0, std::memory_order_release);
        break;
      }
    }
  }
  munmap(address, size);
}

}  // namespace ce::detail
