// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A scripted serial line for driving the serial link without a terminal:
// bytes pushed in come out of read() in pieces of at most the requested size,
// writes are recorded (and can be held), a hang-up is one call away. Every
// blocking call ends when its stop token is stopped.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/serial_port.h"

namespace testing_support {

struct FakeLine {
  std::mutex mutex;
  std::condition_variable_any changed;
  std::deque<uint8_t> incoming;
  std::vector<std::vector<uint8_t>> writes;
  bool hungUp = false;
  bool holdWrites = false;  // write() blocks while set
  uint32_t acceptOnly = UINT32_MAX;  // a stalled line: a write's time-out passes after this many bytes
  std::atomic<uint32_t> readCalls{0};
  std::atomic<bool> portAlive{false};

  void push(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex);
    incoming.insert(incoming.end(), bytes.begin(), bytes.end());
    changed.notify_all();
  }
  void hangUp() {
    std::lock_guard lock(mutex);
    hungUp = true;
    changed.notify_all();
  }
  void acceptAtMost(uint32_t bytes) {
    std::lock_guard lock(mutex);
    acceptOnly = bytes;
  }
  void setHold(bool hold) {
    std::lock_guard lock(mutex);
    holdWrites = hold;
    changed.notify_all();
  }
  size_t writeCount() {
    std::lock_guard lock(mutex);
    return writes.size();
  }
  std::vector<uint8_t> write(size_t index) {
    std::lock_guard lock(mutex);
    return index < writes.size() ? writes[index] : std::vector<uint8_t>{};
  }
};

class FakePort final : public shub::os::SerialPort {
 public:
  explicit FakePort(std::shared_ptr<FakeLine> line) : line_(std::move(line)) { line_->portAlive = true; }
  ~FakePort() override { line_->portAlive = false; }

  shub::os::PortResult read(uint8_t* buffer, uint32_t size, std::stop_token stop) override {
    line_->readCalls.fetch_add(1);
    std::unique_lock lock(line_->mutex);
    if (!line_->changed.wait(lock, stop, [&] { return line_->hungUp || !line_->incoming.empty(); })) {
      return {shub::os::PortStatus::stopped};
    }
    if (line_->hungUp) return {shub::os::PortStatus::hungUp};
    uint32_t count = 0;
    while (count < size && !line_->incoming.empty()) {
      buffer[count++] = line_->incoming.front();
      line_->incoming.pop_front();
    }
    return {shub::os::PortStatus::done, count};
  }

  shub::os::PortResult write(const uint8_t* bytes, uint32_t count, std::stop_token stop) override {
    std::unique_lock lock(line_->mutex);
    line_->writes.emplace_back(bytes, bytes + count);
    line_->changed.notify_all();
    if (!line_->changed.wait(lock, stop, [&] { return !line_->holdWrites; })) return {shub::os::PortStatus::stopped};
    return {shub::os::PortStatus::done, std::min(count, line_->acceptOnly)};
  }

 private:
  std::shared_ptr<FakeLine> line_;
};

}  // namespace testing_support
