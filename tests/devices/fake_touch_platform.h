// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A touch platform that records what the injector does, in order, and can be
// read from another thread while the touch thread writes.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "devices/touch_injector.h"

using namespace shub::devices;

class FakeTouchPlatform final : public TouchPlatform {
 public:
  shub::os::ScreenSize screen{800, 480};
  uint32_t volume = 1;

  shub::os::ScreenSize screenSize() override { return screen; }
  void injectPointer(const shub::os::PointerEvent& event) override {
    const std::string line = shub::devices::pointerRecord(event);  // "flags x y 0 0\n"
    add(line.substr(0, line.size() - 5));
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
