// SIGTERM, SIGINT and SIGHUP as the quit message, so that a daemon stopped by
// its service manager runs its ordered shutdown and exits 0.
//
// A self-pipe, not signalfd: signalfd only works when the signals are blocked
// in every thread, and threads started before the call (or by libraries) would
// still take the default action and kill the process. Here the handler runs
// on whichever thread the kernel picks, stores a flag and writes to an eventfd
// (both async-signal-safe); the thread that asked polls that eventfd in
// getMessage() and turns the flag into the quit message. SA_RESTART keeps the
// other threads' blocking calls going where the kernel allows.
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/message_queue.h"

namespace ce {

namespace {

std::atomic<bool> quitSignalled{false};
std::atomic<int> signalFd{-1};                       // made once, never closed
std::atomic<const MessageQueue*> signalQueue{nullptr};

// Keeps the queue that asked alive for as long as signals point at it.
std::shared_ptr<MessageQueue>& signalQueueOwner() {
  static std::shared_ptr<MessageQueue> owner;
  return owner;
}

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

void onQuitSignal(int) {
  const int savedErrno = errno;
  quitSignalled.store(true);
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t ignored = write(signalFd.load(), &one, sizeof one);
  errno = savedErrno;
}

}  // namespace

void postQuitOnSignals() {
  static std::mutex setupMutex;
  std::lock_guard lock(setupMutex);
  if (signalFd.load() < 0) {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return;
    signalFd.store(fd);
  }
  std::shared_ptr<MessageQueue> queue = currentQueue();
  signalQueue.store(queue.get());
  signalQueueOwner() = std::move(queue);

  struct sigaction action = {};
  action.sa_handler = onQuitSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) sigaction(signalNumber, &action, nullptr);
}

int quitSignalFd(const MessageQueue* queue) {
  return queue == signalQueue.load() ? signalFd.load() : -1;
}

bool takeQuitSignal(const MessageQueue* queue) {
  if (queue != signalQueue.load()) return false;
  // Drain first, then look at the flag: a signal landing in between leaves the
  // descriptor readable for one more look, never a flag without a wake-up or a
  // readable descriptor that nobody drains.
  uint64_t count = 0;
  [[maybe_unused]] ssize_t ignored = read(signalFd.load(), &count, sizeof count);
  return quitSignalled.exchange(false);
}

}  // namespace ce
