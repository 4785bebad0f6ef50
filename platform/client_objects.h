// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// What a client of the daemon needs from the system, compiled into
// libserialhub too: it runs inside other people's programs, so it creates no
// object, installs no signal handler, starts no thread, and leaves errno set.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>

namespace shub::os {

using Clock = std::chrono::steady_clock;
using Timeout = std::optional<std::chrono::milliseconds>;  // empty: no time-out
using Deadline = std::optional<Clock::time_point>;         // empty: none

// The one way to touch a word of a mapping other threads and processes share:
// an atomic view of the `Word` at `offset` (aligned in every mapping).
// Lock-free on every target (a 64-bit word by ldrexd/strexd on 32-bit arm):
// a word guarded by a lock of this process would tear for every other one.
template <typename Word = uint32_t>
std::atomic_ref<Word> wordAt(const uint8_t* base, uint32_t offset) {
  static_assert(std::atomic_ref<Word>::is_always_lock_free, "a shared word must be lock-free on this target");
  static_assert(std::atomic_ref<Word>::required_alignment <= sizeof(Word), "shared words sit at multiples of their size");
  return std::atomic_ref<Word>(*reinterpret_cast<Word*>(const_cast<uint8_t*>(base) + offset));
}

enum class WaitResult { signalled, timeout, stopped, failed, interrupted };

// An object file of $CE_OBJECTS mapped shared under the SIGBUS guard
// (mapping_guard.cpp): unmapped and closed when it goes.
class Block {
 public:
  Block() = default;
  // Adopts `fd` and maps `size` bytes of it; invalid, fd closed, when mapping
  // fails. `notice`, a whole line, is said once if the file shrinks.
  Block(int fd, uint32_t size, std::string_view notice);
  Block(Block&& other) noexcept { std::swap(held_, other.held_); }
  Block& operator=(Block&& other) noexcept {  // what this held goes with `other`
    std::swap(held_, other.held_);
    return *this;
  }
  ~Block();

  // Opens $CE_OBJECTS/<name>, which must be a regular file of exactly `size`
  // bytes (a link is never followed). Invalid with errno: ENOENT missing,
  // EACCES not allowed, EINVAL not such an object.
  static Block open(std::string_view name, uint32_t size);

  bool valid() const { return held_.address != nullptr; }
  uint8_t* data() const { return held_.address; }
  uint32_t size() const { return held_.size; }
  int fd() const { return held_.fd; }
  // True once another process truncated the file under the mapping: it reads
  // as zeros from then on, so nothing read from it can be trusted.
  bool broken() const { return held_.tripped != nullptr && held_.tripped->load(std::memory_order_acquire); }

 private:
  struct Held {
    int fd = -1;
    uint8_t* address = nullptr;
    uint32_t size = 0;
    const std::atomic<bool>* tripped = nullptr;
  } held_;
};

// An auto-reset event: an 8-byte file in $CE_OBJECTS (layout in
// serialhub/protocol.h). Each signal releases exactly one wait.
class Event {
 public:
  Event() = default;  // no event: a signal does nothing, a wait fails

  // The daemon's side: creates the named event, not signalled, or opens it
  // keeping its state; invalid on failure.
  static Event create(std::string_view name);
  // Opens an existing named event; invalid, errno set, when there is none.
  static Event open(std::string_view name);

  bool valid() const { return word() != nullptr; }
  void signal();
  void clear();
  // True while a signal waits to be taken; takes nothing.
  bool signalled() const;
  // Waits up to `timeout`; a stop of `stop`, also one before the wait sleeps,
  // ends it with `stopped` and consumes no signal. Without a stop token a
  // signal handler that runs ends it with `interrupted`.
  WaitResult wait(Timeout timeout, std::stop_token stop = {});
  bool broken() const { return file_.broken(); }

 private:
  uint32_t* word() const;
  bool hasMagic() const;  // a named event's file carries the event magic

  Block file_;
};

// Sleeps while the shared futex word holds `expected`, until the deadline.
// Returns on any wake-up, callers re-check; false when a signal handler
// interrupted the sleep.
bool waitSharedWord(uint32_t* word, uint32_t expected, const Deadline& deadline);
void wakeSharedWord(uint32_t* word, int count);

// A full memory barrier on every thread of every process registered for it
// (the daemon is). False when the kernel cannot.
bool fenceRegisteredProcesses();

// True when another process holds an exclusive flock on the file of `fd`.
bool lockedByAnother(int fd);

// Takes an exclusive flock on the file of `fd`, trying until `deadline`.
// False with errno: ETIMEDOUT, or the OS error.
bool lockExclusiveUntil(int fd, Clock::time_point deadline);

// Block::open's open, for the daemon too: a link planted there would have us
// write into whatever it points at.
int openObjectFile(const std::string& path, uint32_t size);

}  // namespace shub::os
