// A private futex word that a stop request raises and wakes, so a thread can
// sleep on "this word or a stop" without losing a stop that lands just before
// the sleep. It lives for one wait; the callback's destructor waits out a
// stopper that is running it, so the word never outlives its wake.
#pragma once

#include <stop_token>

#include "platform/futex_internal.h"

namespace ce::detail {

class StopWord {
 public:
  explicit StopWord(std::stop_token stop) : callback_(std::move(stop), Raise{&word_}) {}
  StopWord(const StopWord&) = delete;
  StopWord& operator=(const StopWord&) = delete;

  uint32_t* word() { return &word_; }

 private:
  struct Raise {
    uint32_t* word;
    void operator()() const {
      atomicWord(*word).store(1, std::memory_order_release);
      futexWake(word, kWakeAll, false);
    }
  };

  uint32_t word_ = 0;  // declared before the callback, which may raise it at once
  std::stop_callback<Raise> callback_;
};

}  // namespace ce::detail
