// Threads with a cooperative stop. The original terminated threads forcibly;
// here a stop request sets the thread's flag and wakes it out of whatever it
// sleeps in, and stopThread() returns once the routine has returned.
//
// The hard part is the race between a waiter checking its flag and going to
// sleep on a futex: a single wake-up sent in between would be lost. Instead of
// making the waiter poll, the stopper keeps waking the word the thread has
// announced (and its stop hook) every few milliseconds until the routine has
// returned. Other sleepers on the same word see a spurious wake-up, re-check
// and sleep again; a stopped waiter never consumes a signal (named_event.cpp).
//
// A stop hook's wake may therefore be called many times, from the stopping
// thread, until the routine returns; it must not call setStopHook(). One
// handle is stopped and closed by one thread at a time.
#include "platform/thread.h"

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#include <pthread.h>
#include <signal.h>

#include "platform/futex_internal.h"
#include "platform/thread_internal.h"

namespace ce {

namespace {

constexpr uint32_t kRewakeIntervalMs = 5;
constexpr uintptr_t kPrivateWordTag = 1;  // low bit of an announced word: private futex

struct ThreadState {
  std::atomic<bool> stop{false};
  // The futex word the thread sleeps on (or is about to), tagged with
  // kPrivateWordTag when private; 0 when none.
  std::atomic<uintptr_t> blockedOn{0};
  alignas(4) uint32_t pauseWord = 0;  // futex word for pauseMs; never changes
  alignas(4) uint32_t finished = 0;   // futex word: 1 once the routine has returned
  std::mutex hookMutex;               // the stopper calls the hook under it
  StopHook hook;
};

thread_local ThreadState* currentThread = nullptr;

}  // namespace

struct Thread {
  pthread_t handle{};
  bool joined = false;
  bool detached = false;  // closed by its own routine: frees itself on return
  std::function<void()> routine;
  ThreadState state;
};

namespace detail {

bool currentStopRequested() {
  return currentThread && currentThread->stop.load(std::memory_order_seq_cst);
}

void announceBlockedOn(uint32_t* word, bool shared) {
  if (!currentThread) return;
  uintptr_t value = reinterpret_cast<uintptr_t>(word);
  if (word && !shared) value |= kPrivateWordTag;
  // Sequentially consistent with the stop flag: either the stopper sees this
  // word, or this thread sees the flag before it sleeps.
  currentThread->blockedOn.store(value, std::memory_order_seq_cst);
}

uint32_t* currentPauseWord() { return currentThread ? &currentThread->pauseWord : nullptr; }

}  // namespace detail

namespace {

void* runThread(void* argument) {
  Thread* thread = static_cast<Thread*>(argument);
  currentThread = &thread->state;
  thread->routine();
  thread->routine = nullptr;  // release what the routine captured on its own thread
  currentThread = nullptr;
  if (thread->detached) {
    delete thread;
    return nullptr;
  }
  detail::atomicWord(thread->state.finished).store(1, std::memory_order_release);
  detail::futexWake(&thread->state.finished, detail::kWakeAll, false);
  return nullptr;
}

bool routineFinished(ThreadState& state) {
  return detail::atomicWord(state.finished).load(std::memory_order_acquire) == 1;
}

// A signal whose only effect is to interrupt the thread's blocking system
// call (installed without SA_RESTART). It reaches a thread asleep on a futex
// word of an event file that another process truncated: that sleeper can no
// longer be woken through the word, since the page behind it is gone.
int wakeSignal() { return SIGRTMIN + 1; }

void onWakeSignal(int) {}

void installWakeSignalOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = onWakeSignal;
    sigemptyset(&action.sa_mask);
    sigaction(wakeSignal(), &action, nullptr);
  });
}

void wakeBlockedThread(Thread& thread) {
  ThreadState& state = thread.state;
  pthread_kill(thread.handle, wakeSignal());
  const uintptr_t blocked = state.blockedOn.load(std::memory_order_seq_cst);
  if (blocked != 0) {
    // The word may belong to an event closed since; waking a stale address
    // is harmless (at worst a spurious wake-up that every futex user absorbs).
    uint32_t* word = reinterpret_cast<uint32_t*>(blocked & ~kPrivateWordTag);
    detail::futexWake(word, detail::kWakeAll, (blocked & kPrivateWordTag) == 0);
  }
  std::lock_guard<std::mutex> lock(state.hookMutex);
  if (state.hook.wake) state.hook.wake(state.hook.context);
}

}  // namespace

Thread* startThread(std::function<void()> routine) {
  if (!routine) return nullptr;
  Thread* thread = new (std::nothrow) Thread;
  if (!thread) return nullptr;
  thread->routine = std::move(routine);
  installWakeSignalOnce();
  if (pthread_create(&thread->handle, nullptr, runThread, thread) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

void stopThread(Thread* thread) {
  if (!thread || thread->joined) return;
  ThreadState& state = thread->state;
  state.stop.store(true, std::memory_order_seq_cst);
  if (pthread_equal(thread->handle, pthread_self())) return;  // cannot wait for ourselves
  while (!routineFinished(state)) {
    wakeBlockedThread(*thread);
    const detail::Deadline next = detail::deadlineAfterMs(kRewakeIntervalMs, false);
    detail::futexWaitUntil(&state.finished, 0, next, false);
  }
  pthread_join(thread->handle, nullptr);
  thread->joined = true;
}

void closeThread(Thread* thread) {
  if (!thread) return;
  if (pthread_equal(thread->handle, pthread_self())) {
    // A routine closing its own handle: nobody can wait for it, so it runs
    // on detached and frees itself when it returns.
    thread->state.stop.store(true, std::memory_order_seq_cst);
    thread->detached = true;
    pthread_detach(thread->handle);
    return;
  }
  stopThread(thread);
  delete thread;
}

bool stopRequested() { return detail::currentStopRequested(); }

void setStopHook(StopHook hook) {
  if (!currentThread) return;
  // Under the stopper's lock: once this returns, the old hook is never called
  // again, so its context may be freed.
  std::lock_guard<std::mutex> lock(currentThread->hookMutex);
  currentThread->hook = hook;
}

}  // namespace ce
