// A touch platform that records what the injector does, in order, and can be
// read from another thread while the touch thread writes.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "devices/touch_injector.h"

class FakeTouchPlatform final : public TouchPlatform {
 public:
  ce::ScreenSize screen{800, 480};
  uint32_t volume = 1;

  ce::ScreenSize screenSize() override { return screen; }
  void injectPointer(const ce::PointerEvent& event) override {
    char line[64];
    std::snprintf(line, sizeof line, "%u %d %d", event.flags, event.x, event.y);
    add(line);
  }
  uint32_t readTapVolume() override { return volume; }
  void keyClick(int32_t kind) override { add("click " + std::to_string(kind)); }

  std::vector<std::string> actions() const {
    std::lock_guard lock(mutex_);
    return actions_;
  }
  size_t count() const {
    std::lock_guard lock(mutex_);
    return actions_.size();
  }

 private:
  void add(std::string action) {
    std::lock_guard lock(mutex_);
    actions_.push_back(std::move(action));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> actions_;
};
