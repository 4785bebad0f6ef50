// A private futex word that a stop request raises and wakes, so a thread can
// sleep on "this word or a stop" without a window in which the stop is lost:
// the kernel compares the word before it sleeps, and the stopper changes the
// word before it wakes. It lives for one wait; the callback's destructor waits
// out a stopper that is running it, so the word never outlives its wake.
#pragma once

#include <cstdint>
#include <stop_token>

#include "platform/futex_internal.h"

namespace ce::detail {

class StopWord {
 public:
  explicit StopWord(std::stop_token stop) : callback_(std::move(stop), Raise{this}) {}
  StopWord(const StopWord&) = delete;
  StopWord& operator=(const StopWord&) = delete;

  uint32_t* word() { return &word_; }

 private:
  struct Raise {
    StopWord* owner;
    void operator()() const {
      atomicWord(owner->word_).store(1, std::memory_order_release);
      futexWake(&owner->word_, kWakeAll, false);
    }
  };

  alignas(4) uint32_t word_ = 0;  // 0 until a stop is requested; declared before the callback
  std::stop_callback<Raise> callback_;
};

}  // namespace ce::detail
