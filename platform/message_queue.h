// Private records shared by the window, message-queue and X11 modules: the
// per-thread message queue with its timers, and the record behind a Window
// handle. Not for use outside platform/.
//
// Handles can be stale: every entry point checks a Window* against the live
// window registry before touching it, so a destroyed or forged handle is
// refused instead of dereferenced.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/window.h"

namespace ce {

struct MessageQueue;

struct Window {
  std::string className;
  std::string title;
  WindowProc procedure = nullptr;
  std::shared_ptr<MessageQueue> owner;  // null for a foreign window
  unsigned long xid = 0;                // X window; 0 for a message-only window
  unsigned long frame = 0;              // foreign: the root child holding xid
  bool foreign = false;
  std::atomic<bool> destroying{false};  // set once by the owner thread
  std::atomic<bool> needsPaint{false};  // set by Expose, cleared by validation
  std::atomic<bool> exposed{false};     // an Expose has arrived since mapping
  std::atomic<bool> visible{false};
};

struct WindowTimer {
  Window* window = nullptr;
  uintptr_t id = 0;
  uint32_t intervalMs = 0;
  uint32_t startTick = 0;  // the interval counts from here
  TimerProc procedure = nullptr;
};

struct MessageQueue {
  MessageQueue();
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Appends a posted message and wakes the owner; false when the queue is full.
  bool post(const Message& message);
  // Makes the owner's getMessage() look again (new timer, paint, X event).
  void wake();

  int wakeFd = -1;  // eventfd, readable while something was posted
  std::mutex mutex;
  std::deque<Message> posted;       // guarded by mutex
  std::vector<WindowTimer> timers;  // guarded by mutex
  bool quitPending = false;         // guarded by mutex
  int quitCode = 0;                 // guarded by mutex
  std::atomic<int> xWindows{0};     // X windows owned by this thread
};

// The calling thread's queue, made on first use.
std::shared_ptr<MessageQueue> currentQueue();

// Removes every timer of `window` from `queue`.
void forgetTimers(MessageQueue& queue, Window* window);

// --- window registry (window.cpp) ---

// What other threads may learn of a handle, copied under the registry lock:
// a local window can be destroyed by its owner at any moment.
struct WindowRef {
  bool alive = false;
  bool foreign = false;
  unsigned long xid = 0;
  std::shared_ptr<MessageQueue> owner;  // null for a foreign window
};
WindowRef lookupWindow(Window* window);
// A live window owned by `queue` that needs painting, its flag cleared; null
// when none.
Window* takeWindowToPaint(const MessageQueue* queue);
// The procedure of a live window owned by `queue`; null otherwise.
WindowProc windowProcedureFor(Window* window, const MessageQueue* queue);

// X events routed to the local window with X id `xid`. Safe from any thread;
// false when no local window has that id.
enum class WindowEvent { exposed, unmapped };
bool noteWindowEvent(unsigned long xid, WindowEvent event);
bool postToXWindow(unsigned long xid, uint32_t message, uintptr_t wParam, intptr_t lParam);

// --- quit signals (message_queue_signals.cpp) ---

// The descriptor that becomes readable when a quit signal arrives, if `queue`
// is the one that asked for them; -1 otherwise.
int quitSignalFd(const MessageQueue* queue);
// True once per arrived quit signal batch, for the queue that asked for them.
bool takeQuitSignal(const MessageQueue* queue);

}  // namespace ce
