// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
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

#include <algorithm>
#include <atomic>
#include <iterator>
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

}  // namespace

// `notice` comes as a whole line made in advance: the handler cannot format.
Block::Block(int fd, uint32_t size, std::string_view notice) : held_{fd, nullptr, size} {
  if (fd < 0) return;
  installHandler();
  void* const address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int mapError = errno;
  std::lock_guard lock(slotsMutex);
  GuardSlot* const slot = std::ranges::find_if(slots, [](const GuardSlot& s) { return s.begin.load() == 0; });
  if (address != MAP_FAILED && slot != std::end(slots)) {
    slot->noticeLength.store(notice.copy(slot->notice, sizeof slot->notice));
    slot->tripped.store(false, std::memory_order_relaxed);
    slot->end.store(reinterpret_cast<uintptr_t>(address) + size, std::memory_order_relaxed);
    slot->begin.store(reinterpret_cast<uintptr_t>(address), std::memory_order_release);
    held_.address = static_cast<uint8_t*>(address);
    held_.tripped = &slot->tripped;
    return;
  }
  if (address != MAP_FAILED) munmap(address, size);
  close(std::exchange(held_.fd, -1));
  errno = address == MAP_FAILED ? mapError : ENOMEM;
}

Block::~Block() {
  if (held_.address != nullptr) {
    std::unique_lock lock(slotsMutex);
    for (GuardSlot& slot : slots) {
      if (auto mine = reinterpret_cast<uintptr_t>(held_.address); slot.begin.compare_exchange_strong(mine, 0)) break;
    }
    lock.unlock();
    munmap(held_.address, held_.size);
  }
  if (held_.fd >= 0) close(held_.fd);
}

}  // namespace shub::os
