// The per-thread message queue: posted messages from any thread, the quit
// message, window timers and the wait that ties them to X events.
//
// Retrieval order follows the original system: posted messages first, then the
// quit request, then paint, then due timers. Timers are not queued; a due timer
// becomes a message only when nothing else is waiting, and is re-armed for its
// period from that moment, so a loop that was busy for seconds gets one timer
// message, not a burst. The wait is one poll() on the wake eventfd, the X
// connection and the quit-signal descriptor, bounded by the earliest timer
// deadline: nothing wakes the thread when nothing is due.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/x11_window.h"

namespace ce {

namespace {

// The original system refuses posts beyond 10000 waiting messages; a flood
// from another process must not grow memory without bound.
constexpr size_t kMaxPosted = 10000;
// The original system's timer bounds: shorter intervals would spin.
constexpr uint32_t kMinIntervalMs = 10;
constexpr uint32_t kMaxIntervalMs = 0x7FFFFFFF;

uint32_t clampInterval(uint32_t ms) { return std::clamp(ms, kMinIntervalMs, kMaxIntervalMs); }

uint32_t elapsedSince(const WindowTimer& timer, uint32_t now) { return now - timer.startTick; }

void drainWake(int fd) {
  uint64_t count = 0;
  while (read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
  }
}

// A due timer as a message, re-armed from now; false when none is due.
// Caller holds queue.mutex.
bool takeDueTimer(MessageQueue& queue, uint32_t now, Message& out) {
  WindowTimer* due = nullptr;
  uint32_t mostOverdue = 0;
  for (WindowTimer& timer : queue.timers) {
    const uint32_t elapsed = elapsedSince(timer, now);
    if (elapsed >= timer.intervalMs && (!due || elapsed - timer.intervalMs >= mostOverdue)) {
      due = &timer;
      mostOverdue = elapsed - timer.intervalMs;
    }
  }
  if (!due) return false;
  due->startTick = now;
  out = Message{due->window, WM_TIMER, due->id, reinterpret_cast<intptr_t>(due->procedure), now};
  return true;
}

// Milliseconds until the earliest timer is due; -1 without timers.
// Caller holds queue.mutex.
int msUntilNextTimer(const MessageQueue& queue, uint32_t now) {
  int64_t best = -1;
  for (const WindowTimer& timer : queue.timers) {
    const uint32_t elapsed = elapsedSince(timer, now);
    const int64_t left = elapsed >= timer.intervalMs ? 0 : timer.intervalMs - elapsed;
    if (best < 0 || left < best) best = left;
  }
  return static_cast<int>(std::min<int64_t>(best, INT_MAX));
}

void waitForWork(MessageQueue& queue, int timeoutMs) {
  pollfd fds[3];
  nfds_t count = 0;
  fds[count++] = {queue.wakeFd, POLLIN, 0};
  if (queue.xWindows.load() > 0) {
    if (const int xfd = x11EventFd(); xfd >= 0) fds[count++] = {xfd, POLLIN, 0};
  }
  if (const int sfd = quitSignalFd(&queue); sfd >= 0) fds[count++] = {sfd, POLLIN, 0};
  // EINTR (a signal handler ran) simply leads to another look at the queue.
  poll(fds, count, timeoutMs);
  drainWake(queue.wakeFd);
}

// Posted message or quit; false when neither. Caller holds queue.mutex.
bool takePostedOrQuit(MessageQueue& queue, Message& out) {
  if (!queue.posted.empty()) {
    out = queue.posted.front();
    queue.posted.pop_front();
    return true;
  }
  if (!queue.quitPending) return false;
  queue.quitPending = false;
  out = Message{nullptr, WM_QUIT, static_cast<uintptr_t>(static_cast<intptr_t>(queue.quitCode)),
                0, tickCount()};
  return true;
}

// A window's owner queue, or the calling thread's for the null window.
WindowRef resolve(Window* window) {
  if (window) return lookupWindow(window);
  WindowRef self;
  self.alive = true;
  self.owner = currentQueue();
  return self;
}

}  // namespace

MessageQueue::MessageQueue() : wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

MessageQueue::~MessageQueue() {
  if (wakeFd >= 0) close(wakeFd);
}

bool MessageQueue::post(const Message& message) {
  {
    std::lock_guard lock(mutex);
    if (posted.size() >= kMaxPosted) return false;
    posted.push_back(message);
  }
  wake();
  return true;
}

void MessageQueue::wake() {
  const uint64_t one = 1;
  // A full counter (never in practice) still leaves the fd readable.
  [[maybe_unused]] ssize_t ignored = write(wakeFd, &one, sizeof one);
}

std::shared_ptr<MessageQueue> currentQueue() {
  thread_local std::shared_ptr<MessageQueue> queue = std::make_shared<MessageQueue>();
  return queue;
}

void forgetTimers(MessageQueue& queue, Window* window) {
  std::lock_guard lock(queue.mutex);
  std::erase_if(queue.timers, [window](const WindowTimer& t) { return t.window == window; });
}

bool getMessage(Message& message) {
  const std::shared_ptr<MessageQueue> queue = currentQueue();
  for (;;) {
    if (queue->xWindows.load() > 0) x11PumpEvents();
    if (takeQuitSignal(queue.get())) postQuitMessage(0);
    int timeoutMs = -1;
    {
      std::lock_guard lock(queue->mutex);
      if (takePostedOrQuit(*queue, message)) return message.message != WM_QUIT;
    }
    if (Window* window = takeWindowToPaint(queue.get())) {
      message = Message{window, WM_PAINT, 0, 0, tickCount()};
      return true;
    }
    {
      std::lock_guard lock(queue->mutex);
      const uint32_t now = tickCount();
      if (takeDueTimer(*queue, now, message)) return true;
      timeoutMs = msUntilNextTimer(*queue, now);
    }
    waitForWork(*queue, timeoutMs);
  }
}

void translateMessage(const Message&) {
  // No keyboard input reaches these windows: nothing to translate.
}

intptr_t dispatchMessage(const Message& message) {
  const std::shared_ptr<MessageQueue> queue = currentQueue();
  if (message.message == WM_TIMER && message.lParam != 0) {
    // lParam may come from another process: only a procedure registered for
    // this timer is ever called, never an address taken from the message.
    TimerProc procedure = nullptr;
    {
      std::lock_guard lock(queue->mutex);
      for (const WindowTimer& t : queue->timers) {
        if (t.window == message.window && t.id == message.wParam &&
            reinterpret_cast<intptr_t>(t.procedure) == message.lParam) {
          procedure = t.procedure;
        }
      }
    }
    if (procedure) procedure(message.window, WM_TIMER, message.wParam, tickCount());
    return 0;
  }
  const WindowProc procedure = windowProcedureFor(message.window, queue.get());
  if (!procedure) return 0;
  return procedure(message.window, message.message, message.wParam, message.lParam);
}

bool postMessage(Window* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  const WindowRef ref = resolve(window);
  if (!ref.alive) return false;
  if (ref.foreign) return x11PostMessage(ref.xid, message, wParam, lParam);
  return ref.owner->post(Message{window, message, wParam, lParam, tickCount()});
}

void postQuitMessage(int exitCode) {
  const std::shared_ptr<MessageQueue> queue = currentQueue();
  {
    std::lock_guard lock(queue->mutex);
    queue->quitPending = true;
    queue->quitCode = exitCode;
  }
  queue->wake();
}

uintptr_t setTimer(Window* window, uintptr_t id, uint32_t intervalMs, TimerProc procedure) {
  // Only the owner thread sets a window's timers, so a timer can never be
  // added to a window that its owner is destroying at the same moment.
  const WindowRef ref = resolve(window);
  if (!ref.alive || ref.foreign || ref.owner != currentQueue()) return 0;
  const std::shared_ptr<MessageQueue>& queue = ref.owner;
  const WindowTimer timer{window, id, clampInterval(intervalMs), tickCount(), procedure};
  {
    std::lock_guard lock(queue->mutex);
    auto same = [&](const WindowTimer& t) { return t.window == window && t.id == id; };
    if (auto it = std::find_if(queue->timers.begin(), queue->timers.end(), same);
        it != queue->timers.end()) {
      *it = timer;
    } else {
      queue->timers.push_back(timer);
    }
  }
  return id != 0 ? id : 1;
}

bool killTimer(Window* window, uintptr_t id) {
  const WindowRef ref = resolve(window);
  if (!ref.alive || ref.foreign || ref.owner != currentQueue()) return false;
  const std::shared_ptr<MessageQueue>& queue = ref.owner;
  std::lock_guard lock(queue->mutex);
  return std::erase_if(queue->timers,
                       [&](const WindowTimer& t) { return t.window == window && t.id == id; }) > 0;
}

}  // namespace ce
