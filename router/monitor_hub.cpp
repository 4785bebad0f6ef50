// Subscriptions and fan-out of the monitor socket.
#include "router/monitor_hub.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <serialhub/protocol.h>

namespace shub::router {

namespace {

template <typename Word>
Word load(const uint8_t* from) {
  Word word;
  std::memcpy(&word, from, sizeof word);
  return word;
}

template <typename Word>
void store(uint8_t* to, Word word) {
  std::memcpy(to, &word, sizeof word);
}

int64_t nanoseconds(auto clockNow) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(clockNow.time_since_epoch()).count();
}

// The answer to a subscribe message: magic, version, 0 or an errno value.
void answer(const os::Socket& socket, int error) {
  uint8_t message[SHUB_MONITOR_REQUEST_HEADER];
  store<uint32_t>(message, SHUB_MONITOR_MAGIC);
  store<uint32_t>(message + 4, SHUB_MONITOR_VERSION);
  store<int32_t>(message + 8, error);
  socket.sendNow(message, sizeof message);
}

}  // namespace

bool MonitorHub::open(std::string* why) {
  if (!readiness_.valid()) {
    *why = std::string("monitor socket: epoll: ") + std::strerror(errno);
    return false;
  }
  listener_ = os::listenOnObject(SHUB_MONITOR_NAME, why);
  if (listener_.valid() && !readiness_.add(listener_.fd())) {
    *why = std::string("monitor socket: epoll: ") + std::strerror(errno);
    listener_ = os::Socket();
  }
  return listener_.valid();
}

void MonitorHub::serve() {
  int ready[64];
  const size_t count = readiness_.collect(ready, std::size(ready));
  for (size_t i = 0; i < count; ++i) {
    if (ready[i] == listener_.fd()) {
      acceptWaiting();
    } else {
      hear(ready[i]);
    }
  }
}

// Beyond the limit a monitor is told so at once, without being heard.
void MonitorHub::acceptWaiting() {
  for (os::Socket socket; (socket = os::acceptWaiting(listener_)).valid();) {
    const std::lock_guard lock(mutex_);
    if (monitors_.size() >= SHUB_MONITOR_MAX || !readiness_.add(socket.fd())) {
      answer(socket, EUSERS);
      continue;
    }
    monitors_.emplace_back().socket = std::move(socket);
  }
}

// A subscribe message, or the end of a monitor; anything else it sends is ignored.
void MonitorHub::hear(int fd) {
  uint8_t request[SHUB_MONITOR_REQUEST_HEADER + 4 * SHUB_MONITOR_CHANNELS_MAX];
  const std::lock_guard lock(mutex_);
  const auto monitor = std::find_if(monitors_.begin(), monitors_.end(), [fd](const Monitor& m) { return m.socket.fd() == fd; });
  if (monitor == monitors_.end()) return;
  const std::ptrdiff_t size = monitor->socket.receiveNow(request, sizeof request);
  if (size < 0 && errno == EAGAIN) return;
  if (size == 0 || (size < 0 && errno != EMSGSIZE)) return drop(fd);
  if (monitor->subscribed) return;
  const int error = size < 0 ? EINVAL : subscribe(*monitor, request, static_cast<size_t>(size));
  if (error != 0) {
    answer(monitor->socket, error);
    return drop(fd);
  }
  monitor->subscribed = true;
  subscribed_.fetch_add(1, std::memory_order_release);
  answer(monitor->socket, 0);
}

int MonitorHub::subscribe(Monitor& monitor, const uint8_t* request, size_t size) const {
  if (size < SHUB_MONITOR_REQUEST_HEADER || load<uint32_t>(request) != SHUB_MONITOR_MAGIC ||
      load<uint32_t>(request + 4) != SHUB_MONITOR_VERSION) {
    return EINVAL;
  }
  const uint32_t count = load<uint32_t>(request + 8);
  if (count > SHUB_MONITOR_CHANNELS_MAX || size != SHUB_MONITOR_REQUEST_HEADER + 4 * size_t{count}) return EINVAL;
  monitor.everyChannel = count == 0;
  for (uint32_t i = 0; i < count; ++i) {
    const auto channel = load<int32_t>(request + SHUB_MONITOR_REQUEST_HEADER + 4 * i);
    if (!routesChannel(table_, channel)) return ENOENT;
    monitor.channels.push_back(channel);
  }
  return 0;
}

// Under the lock: the serial reader is never sending to a descriptor closed here.
void MonitorHub::drop(int fd) {
  const auto gone = std::find_if(monitors_.begin(), monitors_.end(), [fd](const Monitor& m) { return m.socket.fd() == fd; });
  if (gone == monitors_.end()) return;
  readiness_.remove(fd);
  if (gone->subscribed) subscribed_.fetch_sub(1, std::memory_order_relaxed);
  monitors_.erase(gone);
}

bool MonitorHub::Monitor::wants(int32_t channel) const {
  return subscribed && (everyChannel || std::find(channels.begin(), channels.end(), channel) != channels.end());
}

void MonitorHub::stampNow() {
  time_ = nanoseconds(std::chrono::system_clock::now());
  mono_ = nanoseconds(std::chrono::steady_clock::now());
  stamped_ = true;
}

void MonitorHub::lineRead() {
  stamped_ = false;
  if (subscribed_.load(std::memory_order_relaxed) != 0) stampNow();
}

// A monitor that left is not dropped here: its hang-up reaches the main loop.
void MonitorHub::delivered(int32_t channel, uint64_t seq, const uint8_t* bytes, uint32_t length) {
  if (subscribed_.load(std::memory_order_acquire) == 0) return;
  if (!stamped_) stampNow();  // the first monitor came during this read
  uint8_t datagram[SHUB_MONITOR_FRAME_HEADER + SHUB_BLOCK_DATA_SIZE];
  length = std::min(length, SHUB_BLOCK_DATA_SIZE);
  store<int32_t>(datagram + SHUB_MONITOR_FRAME_CHANNEL, channel);
  store<uint32_t>(datagram + SHUB_MONITOR_FRAME_LENGTH, length);
  store<uint64_t>(datagram + SHUB_MONITOR_FRAME_SEQ, seq);
  store<int64_t>(datagram + SHUB_MONITOR_FRAME_TIME, time_);
  store<int64_t>(datagram + SHUB_MONITOR_FRAME_MONO, mono_);
  std::memcpy(datagram + SHUB_MONITOR_FRAME_HEADER, bytes, length);
  const std::lock_guard lock(mutex_);
  for (const Monitor& monitor : monitors_) {
    if (monitor.wants(channel)) monitor.socket.sendNow(datagram, SHUB_MONITOR_FRAME_HEADER + length);
  }
}

}  // namespace shub::router
