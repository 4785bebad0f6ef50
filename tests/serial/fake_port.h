// A scripted serial line for driving the serial link without a terminal:
// bytes pushed in come out of read() in pieces of at most the requested size,
// writes are recorded (and can be held), a hang-up is one call away. Every
// blocking call ends on a mask change or a stop request of its thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/serial_port.h"
#include "platform/thread.h"

namespace testing_support {

struct FakeLine {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<uint8_t> incoming;
  std::vector<std::vector<uint8_t>> writes;
  std::vector<uint32_t> readSizes;
  bool hungUp = false;
  bool holdWrites = false;  // write() blocks while set
  uint32_t wakeups = 0;     // pending mask changes
  uint32_t mask = 0;
  ce::SerialSettings settings{.baudRate = 9600, .dataBits = 7, .parity = ce::kEvenParity, .stopBits = ce::kTwoStopBits};
  ce::SerialTimeouts timeouts{};
  std::atomic<uint32_t> waitCalls{0};
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

class FakePort final : public ce::SerialPort {
 public:
  explicit FakePort(std::shared_ptr<FakeLine> line) : line_(std::move(line)) { line_->portAlive = true; }
  ~FakePort() override { line_->portAlive = false; }

  bool getSettings(ce::SerialSettings& settings) override { return locked([&] { settings = line_->settings; }); }
  bool setSettings(const ce::SerialSettings& settings) override { return locked([&] { line_->settings = settings; }); }
  bool getTimeouts(ce::SerialTimeouts& timeouts) override { return locked([&] { timeouts = line_->timeouts; }); }
  bool setTimeouts(const ce::SerialTimeouts& timeouts) override { return locked([&] { line_->timeouts = timeouts; }); }
  bool setEventMask(uint32_t mask) override {
    return locked([&] {
      line_->mask = mask;
      ++line_->wakeups;
      line_->changed.notify_all();
    });
  }

  ce::PortResult waitEvent() override {
    line_->waitCalls.fetch_add(1);
    StopScope scope(*line_);
    std::unique_lock lock(line_->mutex);
    line_->changed.wait(lock, [&] {
      return ce::stopRequested() || line_->hungUp || line_->wakeups > 0 ||
             ((line_->mask & ce::kEventCharReceived) && !line_->incoming.empty());
    });
    if (line_->hungUp) return {.hangup = true};
    if (line_->wakeups > 0 || ce::stopRequested()) {
      line_->wakeups = 0;
      return {.ok = true};
    }
    return {.ok = true, .events = ce::kEventCharReceived};
  }

  ce::PortResult read(uint8_t* buffer, uint32_t size) override {
    std::lock_guard lock(line_->mutex);
    line_->readSizes.push_back(size);
    if (line_->hungUp) return {.hangup = true};
    uint32_t count = 0;
    while (count < size && !line_->incoming.empty()) {
      buffer[count++] = line_->incoming.front();
      line_->incoming.pop_front();
    }
    return {.ok = true, .count = count};
  }

  ce::PortResult write(const uint8_t* bytes, uint32_t count) override {
    StopScope scope(*line_);
    std::unique_lock lock(line_->mutex);
    line_->writes.emplace_back(bytes, bytes + count);
    line_->changed.notify_all();
    line_->changed.wait(lock, [&] { return !line_->holdWrites || ce::stopRequested(); });
    return {.ok = true, .count = count};
  }

  void clearErrors() override {}

 private:
  template <typename F>
  bool locked(F&& action) {
    std::lock_guard lock(line_->mutex);
    action();
    return true;
  }

  // A stop request of the calling thread wakes its wait here.
  struct StopScope {
    explicit StopScope(FakeLine& line) {
      ce::setStopHook({[](void* context) {
                         auto* target = static_cast<FakeLine*>(context);
                         std::lock_guard lock(target->mutex);
                         target->changed.notify_all();
                       },
                       &line});
    }
    ~StopScope() { ce::setStopHook({}); }
  };

  std::shared_ptr<FakeLine> line_;
};

}  // namespace testing_support
