// Block's mapping under the SIGBUS guard. Any group member may shrink an object
// file; a page past its new end raises SIGBUS on access. Under the guard the
// whole mapping is replaced by zero pages instead, marked tripped (Block::broken),
// and the access runs again, so neither the daemon nor a program using the
// client library dies of another process's truncate. A SIGBUS that is not ours
// goes on to whatever handled it before the guard was installed.
// The handler only reads lock-free atomics and calls mmap, sigaction and write,
// all async-signal safe. A slot is published before its mapping is handed out
// and retired before its unmap, so the handler never repairs a range given back.
#include "platform/client_objects.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <utility>

namespace shub::os {
namespace {

struct GuardSlot {
  std::atomic<uintptr_t> begin{0};  // 0: free
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> tripped{false};
  std::atomic<size_t> noticeLength{0};  // taken by the first repair: said once
  char notice[512] = {};
};

GuardSlot slots[128];  // far above the few dozen objects a process maps
struct sigaction previousAction {};
std::mutex slotsMutex;  // serialises claims and releases; never taken by the handler

GuardSlot* slotOf(uintptr_t address) {
  for (GuardSlot& slot : slots) {
    const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin != 0 && address >= begin && address < slot.end.load(std::memory_order_relaxed)) return &slot;
  }
  return nullptr;
}

// Hands a SIGBUS that is not ours to the action from before the guard. A
// default or ignored action is put back, so the access runs again and meets it.
void passOn(int signal, siginfo_t* info, void* context) {
  if ((previousAction.sa_flags & SA_SIGINFO) != 0 && previousAction.sa_sigaction != nullptr) {
    previousAction.sa_sigaction(signal, info, context);
  } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(signal);
  } else {
    sigaction(SIGBUS, &previousAction, nullptr);
  }
}

void onBusError(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  GuardSlot* slot = slotOf(reinterpret_cast<uintptr_t>(info->si_addr));
  const uintptr_t begin = slot ? slot->begin.load(std::memory_order_relaxed) : 0;
  const uintptr_t end = slot ? slot->end.load(std::memory_order_relaxed) : 0;
  if (slot == nullptr || mmap(reinterpret_cast<void*>(begin), end - begin, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) {
    passOn(signal, info, context);
  } else {
    slot->tripped.store(true, std::memory_order_release);
    if (const size_t length = slot->noticeLength.exchange(0)) {
      [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, slot->notice, length);
    }
  }
  errno = savedErrno;
}

void installHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previousAction);
  });
}

// Maps `fd` shared, `size` bytes, under the guard; nullptr with errno set on
// failure. `notice`, when not empty, is written at the first repair (a whole
// line made in advance: the handler cannot format).
void* mapGuarded(int fd, size_t size, std::string_view notice, const std::atomic<bool>** tripped) {
  installHandler();
  void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return nullptr;
  std::lock_guard lock(slotsMutex);
  for (GuardSlot& slot : slots) {
    if (slot.begin.load(std::memory_order_relaxed) != 0) continue;
    slot.noticeLength.store(notice.copy(slot.notice, sizeof slot.notice));
    slot.tripped.store(false, std::memory_order_relaxed);
    slot.end.store(reinterpret_cast<uintptr_t>(address) + size, std::memory_order_relaxed);
    slot.begin.store(reinterpret_cast<uintptr_t>(address), std::memory_order_release);
    if (tripped != nullptr) *tripped = &slot.tripped;
    return address;
  }
  munmap(address, size);
  errno = ENOMEM;
  return nullptr;
}

void unmapGuarded(void* address, size_t size) {
  if (address == nullptr) return;
  {
    std::lock_guard lock(slotsMutex);
    for (GuardSlot& slot : slots) {
      if (auto mine = reinterpret_cast<uintptr_t>(address); slot.begin.compare_exchange_strong(mine, 0)) break;
    }
  }
  munmap(address, size);
}

}  // namespace

Block::Block(int fd, uint32_t size, std::string_view notice) : fd_(fd), size_(size) {
  address_ = fd < 0 ? nullptr : static_cast<uint8_t*>(mapGuarded(fd, size, notice, &tripped_));
  if (address_ == nullptr && fd >= 0) {
    const int error = errno;
    close(std::exchange(fd_, -1));
    errno = error;
  }
}

void Block::swap(Block& other) noexcept {
  std::swap(fd_, other.fd_);
  std::swap(address_, other.address_);
  std::swap(size_, other.size_);
  std::swap(tripped_, other.tripped_);
}

Block::~Block() {
  unmapGuarded(address_, size_);
  if (fd_ >= 0) close(fd_);
}

}  // namespace shub::os
