// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Subscriptions and fan-out of the monitor socket.
#include "router/monitor_hub.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <serialhub/protocol.h>

#include "platform/log.h"
#include "platform/monitor_wire.h"

namespace shub::router {

namespace wire = os::monitor_wire;

namespace {

int64_t nanoseconds(auto clockNow) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(clockNow.time_since_epoch()).count();
}

// The answer to a subscribe message: 0 or an errno value.
void answer(const os::Socket& socket, int error) {
  uint8_t message[wire::kMessageMax];
  socket.sendNow(message, wire::packMessage(message, static_cast<uint32_t>(error)));
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

// Beyond the limit a monitor is told so at once, without being heard. Out of
// descriptors, the listener rests until a monitor leaves: the connection left
// waiting would keep it readable, and the loop would spin on it.
void MonitorHub::acceptWaiting() {
  for (;;) {
    os::Socket socket = os::acceptWaiting(listener_);
    if (!socket.valid()) {
      if (errno == EMFILE || errno == ENFILE) rest();
      return;
    }
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
  uint8_t request[wire::kMessageMax];
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
  const std::optional<uint32_t> count = wire::messageWord(request, size);
  if (!count || *count > SHUB_MONITOR_CHANNELS_MAX || size != SHUB_MONITOR_REQUEST_HEADER + 4 * size_t{*count}) {
    return EINVAL;
  }
  monitor.everyChannel = *count == 0;
  for (uint32_t i = 0; i < *count; ++i) {
    const int32_t channel = wire::channelAt(request, i);
    if (!routesChannel(table_, channel)) return ENOENT;
    monitor.channels.push_back(channel);
  }
  return 0;
}

void MonitorHub::rest() {
  os::logWarning("monitor socket %s: %s; no new monitor until one leaves", SHUB_MONITOR_NAME, std::strerror(errno));
  readiness_.remove(listener_.fd());
  resting_ = true;
}

// Under the lock: the serial reader is never sending to a descriptor closed here.
void MonitorHub::drop(int fd) {
  const auto gone = std::find_if(monitors_.begin(), monitors_.end(), [fd](const Monitor& m) { return m.socket.fd() == fd; });
  if (gone == monitors_.end()) return;
  readiness_.remove(fd);
  if (gone->subscribed) subscribed_.fetch_sub(1, std::memory_order_relaxed);
  monitors_.erase(gone);
  if (resting_) resting_ = !readiness_.add(listener_.fd());
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
  uint8_t datagram[wire::kFrameMax];
  const size_t size = wire::packFrame(
      datagram, {.channel = channel, .length = length, .seq = seq, .time = time_, .mono = mono_, .bytes = bytes});
  const std::lock_guard lock(mutex_);
  for (const Monitor& monitor : monitors_) {
    if (monitor.wants(channel)) monitor.socket.sendNow(datagram, size);
  }
}

}  // namespace shub::router
