// The SIGBUS guard of named-object mappings (see object_mapping_internal.h).
//
// The handler runs on whichever thread touched the vanished page, at any
// moment, so it only reads lock-free atomics of a fixed table and calls mmap
// and write, which are plain system calls. A slot is published (its end, its
// message) before its start address, and retired (start cleared) before the
// mapping goes, so the handler never repairs a range that is no longer ours.
#include "platform/object_mapping_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/log.h"

namespace ce::detail {

namespace {

constexpr size_t kSlots = 128;  // far above the few dozen objects a process maps
constexpr size_t kMessageSize = 512;

struct GuardSlot {
  std::atomic<uintptr_t> begin{0};  // 0: free
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> broken{false};
  std::atomic<size_t> messageLength{0};
  char message[kMessageSize] = {};
};

GuardSlot slots[kSlots];
struct sigaction previousAction {};
std::mutex slotsMutex;  // serialises claims and releases; never taken by the handler

static_assert(std::atomic<uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Hands the signal on as if we were not there: to the previous handler, or
// back to the default action, which then ends the process when the access
// runs again.
void passOn(int signal, siginfo_t* info, void* context) {
  if (previousAction.sa_flags & SA_SIGINFO) {
    if (previousAction.sa_sigaction != nullptr) {
      previousAction.sa_sigaction(signal, info, context);
      return;
    }
  } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(signal);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigaction(SIGBUS, &fallback, nullptr);
}

void onBusError(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (GuardSlot& slot : slots) {
    const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= slot.end.load(std::memory_order_relaxed)) continue;
    const size_t length = slot.end.load(std::memory_order_relaxed) - begin;
    void* replaced = mmap(reinterpret_cast<void*>(begin), length, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (replaced == MAP_FAILED) break;
    if (!slot.broken.exchange(true)) {
      [[maybe_unused]] ssize_t ignored =
          write(STDERR_FILENO, slot.message, slot.messageLength.load(std::memory_order_relaxed));
    }
    errno = savedErrno;
    return;
  }
  errno = savedErrno;
  passOn(signal, info, context);
}

void installHandlerOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previousAction);
  });
}

bool guard(void* address, size_t size, const std::string& path) {
  installHandlerOnce();
  std::lock_guard lock(slotsMutex);
  for (GuardSlot& slot : slots) {
    if (slot.begin.load(std::memory_order_relaxed) != 0) continue;
    const int length = std::snprintf(slot.message, kMessageSize,
                                     "%s%s: the file shrank under us (another process truncated it); "
                                     "this object no longer works\n",
                                     logLinePrefix(LogLevel::warning).c_str(), path.c_str());
    slot.messageLength.store(length < 0 ? 0 : std::min<size_t>(static_cast<size_t>(length), kMessageSize - 1),
                             std::memory_order_relaxed);
    slot.broken.store(false, std::memory_order_relaxed);
    slot.end.store(reinterpret_cast<uintptr_t>(address) + size, std::memory_order_relaxed);
    slot.begin.store(reinterpret_cast<uintptr_t>(address), std::memory_order_release);
    return true;
  }
  return false;
}

}  // namespace

void* mapObjectFile(int fd, size_t size, const std::string& path) {
  if (fd < 0 || size == 0) return nullptr;
  void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return nullptr;
  if (!guard(address, size, path)) {
    munmap(address, size);
    return nullptr;
  }
  return address;
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
