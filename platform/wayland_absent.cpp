// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A build without Wayland: the notice shows on X only.
#include "platform/notice_window.h"

namespace shub::os {

std::unique_ptr<NoticeWindow> createWaylandNoticeWindow(const char*, const char*, std::string* why) {
  *why = "this build has no Wayland";
  return nullptr;
}

}  // namespace shub::os
