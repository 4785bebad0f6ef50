// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// What the service manager shows an operator at a glance (systemctl status):
// the port's state (set on the serial reader) and the power's (main thread),
// as one STATUS= line sent whenever either changes.
#pragma once

#include <mutex>
#include <string>

#include "platform/main_loop.h"

namespace shub::daemon {

class ServiceStatus {
 public:
  void setPort(const std::string& text) { update(port_, text); }
  void setPower(const std::string& text) { update(power_, text); }

 private:
  void update(std::string& field, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (field == text) return;
    field = text;
    os::notifyServiceManager(("STATUS=" + port_ + "; " + power_).c_str());
  }

  std::mutex mutex_;
  std::string port_ = "waiting for COM7";
  std::string power_ = "on mains";
};

}  // namespace shub::daemon
