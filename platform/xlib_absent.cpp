// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A build without X (an image with another display server, or none): no
// XTest, no screen metrics from X, no window messages. What reaches for X gets
// a plain refusal, said once where it would repeat.
#include <optional>
#include <string>

#include "platform/log.h"
#include "platform/notice_window.h"
#include "platform/pointer.h"
#include "platform/x11_window.h"
#include "platform/xlib_pointer_internal.h"

namespace shub::os {

bool displayPointerEvent(const PointerEvent&) {
  static SayOnce said;
  if (said.allow()) logWarning("pointer: no pointer node, and this build has no X; touches are dropped");
  return false;
}

std::optional<ScreenSize> xScreenSize() { return std::nullopt; }

bool postWindowMessage(const char*, const char*, uint32_t, uint32_t, int32_t, std::string* why) {
  if (why != nullptr) *why = "this build has no X, so window messages cannot be sent";
  return false;
}

void bringWindowToForeground(const char*, const char*) {}

std::unique_ptr<NoticeWindow> createX11NoticeWindow(const char*, const char*, std::string* why) {
  *why = "this build has no X";
  return nullptr;
}

}  // namespace shub::os
