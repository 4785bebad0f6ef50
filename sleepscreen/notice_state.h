// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// When duskcard's notice ends, as a small state machine on a clock passed in
// (milliseconds on any monotonic clock), so tests can drive it with a fake
// one: shown for 15 s from the window's creation, or until 2 s after the
// latest re-arm message (1330 or 1336) once one has come; every expose
// repaints; at the deadline, or on a close request, the program quits with 0.
#pragma once

#include <algorithm>
#include <chrono>

#include "platform/notice_window.h"

namespace shub::sleepscreen {

using Millis = std::chrono::milliseconds;

enum class NoticeAction {
  none,   // keep waiting
  paint,  // draw the bitmap over the whole window again
  quit,   // leave the loop; the program exits with 0
};

struct NoticeState {
  explicit NoticeState(Millis created) : deadline(created + Millis{15000}) {}

  // A re-arm replaces whatever remains of the time-out, so it can shorten the
  // showing as well as lengthen it.
  NoticeAction on(const os::NoticeWindowEvent& event, Millis now) {
    using Kind = os::NoticeWindowEvent::Kind;
    if (event.kind == Kind::message && (event.message == 1330 || event.message == 1336)) {
      deadline = now + Millis{2000};
    }
    if (event.kind == Kind::closeRequested || now >= deadline) return NoticeAction::quit;
    return event.kind == Kind::exposed ? NoticeAction::paint : NoticeAction::none;
  }

  // How long the owner may wait for the next event; 0 once due.
  Millis timeLeft(Millis now) const { return std::max(deadline - now, Millis{0}); }

  Millis deadline;
};

}  // namespace shub::sleepscreen
