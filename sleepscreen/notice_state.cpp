// The notice window's state machine (see notice_state.h). Showing: waiting
// for the deadline, repainting on expose and moving the deadline on re-arm.
// Ended: the quit was given once; later events change nothing.
#include "sleepscreen/notice_state.h"

namespace sleepscreen {

NoticeAction NoticeState::message(uint32_t number, Millis now) {
  if (ended_ || (number != kRearmMessageA && number != kRearmMessageB)) return NoticeAction::none;
  deadline_ = now + kRearmTimeout;
  return NoticeAction::none;
}

NoticeAction NoticeState::closeRequested() {
  if (ended_) return NoticeAction::none;
  ended_ = true;
  return NoticeAction::quit;
}

NoticeAction NoticeState::tick(Millis now) {
  if (ended_ || now < deadline_) return NoticeAction::none;
  ended_ = true;
  return NoticeAction::quit;
}

}  // namespace sleepscreen
