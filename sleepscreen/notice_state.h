// What duskcard's notice window does with each event, as a small state
// machine without a window system: shown for 15 s from its creation, or until
// 2 s after the latest re-arm message (1330 or 1336) once one has come; every
// expose repaints; at the deadline, or on a close request, the program quits
// with code 0.
//
// Times are milliseconds on any monotonic clock, passed in, so that a test can
// drive the machine with a fake one.
#pragma once

#include <chrono>
#include <cstdint>

namespace sleepscreen {

using Millis = std::chrono::milliseconds;

inline constexpr Millis kFirstTimeout{15000};
inline constexpr Millis kRearmTimeout{2000};
inline constexpr uint32_t kRearmMessageA = 1330;
inline constexpr uint32_t kRearmMessageB = 1336;
inline constexpr int kExitNormal = 0;

// What the owner of the window must do after an event.
enum class NoticeAction {
  none,   // keep waiting
  paint,  // draw the bitmap over the whole window again
  quit,   // leave the loop; the program exits with kExitNormal
};

class NoticeState {
 public:
  // The window was created at `now`.
  explicit NoticeState(Millis now) : deadline_(now + kFirstTimeout) {}

  // The window's content was lost (it has no backing store).
  NoticeAction exposed() const { return ended_ ? NoticeAction::none : NoticeAction::paint; }
  // A message posted to the window. A re-arm replaces whatever remains of the
  // time-out, so it can shorten the showing as well as lengthen it.
  NoticeAction message(uint32_t number, Millis now);
  // The window manager asks the window to close.
  NoticeAction closeRequested();
  // Time has passed (the wait ran out, or an event came).
  NoticeAction tick(Millis now);

  // How long the owner may wait for events before calling tick(); 0 once due.
  Millis timeLeft(Millis now) const { return deadline_ > now ? deadline_ - now : Millis{0}; }
  Millis deadline() const { return deadline_; }

 private:
  Millis deadline_;
  bool ended_ = false;  // quit was asked for; nothing else happens
};

}  // namespace sleepscreen
