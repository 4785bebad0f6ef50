// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The notice's state machine on a fake clock: when it quits, and what an
// expose or a close request does.
#include "sleepscreen/notice_state.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using Kind = shub::os::NoticeWindowEvent::Kind;
using shub::sleepscreen::Millis;
using shub::sleepscreen::NoticeAction;
using shub::sleepscreen::NoticeState;

namespace {

// Runs the machine as duskcard's loop does: created at 0 ms, it waits for
// the next message or its deadline, whichever comes first. The time of the
// quit, or -1 when none came by 60 s.
int64_t quitTime(const std::vector<std::pair<int64_t, uint32_t>>& messages) {
  NoticeState state(Millis{0});
  size_t next = 0;
  Millis now{0};
  while (now < Millis{60000}) {
    const Millis due = now + state.timeLeft(now);
    NoticeAction action;
    if (next < messages.size() && Millis{messages[next].first} < due) {
      now = Millis{messages[next].first};
      action = state.on({Kind::message, messages[next++].second}, now);
    } else {
      // Just short of the deadline nothing happens; at it, the quit.
      EXPECT_EQ(state.on({}, due - Millis{1}), NoticeAction::none);
      now = due;
      action = state.on({}, now);
    }
    if (action == NoticeAction::quit) return now.count();
  }
  return -1;
}

TEST(NoticeState, EndsFifteenSecondsAfterCreationOrTwoAfterTheLatestRearm) {
  std::vector<std::pair<int64_t, uint32_t>> series;
  for (int64_t t = 1000; t <= 20000; t += 1000) series.push_back({t, t % 2000 ? 1330u : 1336u});
  struct Case {
    const char* legend;
    std::vector<std::pair<int64_t, uint32_t>> messages;  // (ms after creation, message)
    int64_t quitAt;
  } cases[] = {
      {"no message", {}, 15000},
      {"1330 at 3 s shortens it", {{3000, 1330}}, 5000},
      {"1336 at 14.5 s lengthens it", {{14500, 1336}}, 16500},
      {"a series keeps the end 2 s after the last", series, 22000},
      {"other messages change nothing", {{3000, 1331}, {4000, 0}, {5000, 15}}, 15000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quitTime(c.messages), c.quitAt) << c.legend;
  }
}

TEST(NoticeState, ExposePaintsAndACloseRequestQuitsAtOnce) {
  NoticeState state(Millis{500});
  EXPECT_EQ(state.timeLeft(Millis{500}), Millis{15000});
  EXPECT_EQ(state.on({Kind::exposed}, Millis{600}), NoticeAction::paint);
  EXPECT_EQ(state.on({Kind::closeRequested}, Millis{700}), NoticeAction::quit);
}

}  // namespace
