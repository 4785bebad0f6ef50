// What the blocking primitives of this layer tell the thread module, so that a
// stop request can reach a platform thread wherever it sleeps: before sleeping
// on a futex word a thread announces the word, and stopThread() keeps waking
// that word until the thread's routine has returned.
#pragma once

#include <cstdint>

namespace ce::detail {

// True when the calling thread is a platform thread whose stop was requested.
bool currentStopRequested();

// Announces the futex word the calling platform thread is about to sleep on
// (nullptr: none). Does nothing outside platform threads.
void announceBlockedOn(uint32_t* word, bool shared);

// Announces a word for the life of a scope.
class BlockedScope {
 public:
  BlockedScope(uint32_t* word, bool shared) { announceBlockedOn(word, shared); }
  ~BlockedScope() { announceBlockedOn(nullptr, false); }
  BlockedScope(const BlockedScope&) = delete;
  BlockedScope& operator=(const BlockedScope&) = delete;
};

// The calling platform thread's private pause word; nullptr outside platform
// threads. Nobody ever changes it: a pause sleeps on it until its deadline or
// until a stop request wakes it.
uint32_t* currentPauseWord();

}  // namespace ce::detail
