// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// AC line transitions as a table: the statuses that successive ticks read,
// and every action the watcher takes in response, in order.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "devices/backlight_click.h"
#include "devices/power_watcher.h"

using namespace shub::devices;

namespace {

constexpr int kFail = -1;  // the battery gives no answer

class FakePower final : public PowerPlatform, public LampAndSpeaker {
 public:
  std::vector<int> statuses;  // one per request, kFail for no answer
  size_t requests = 0;
  std::vector<std::string> actions;
  Backlight backlight{*this};
  PowerWatcher watcher{*this, backlight};

  std::optional<uint8_t> readLineStatus() override {
    const int next = requests < statuses.size() ? statuses[requests] : kFail;
    ++requests;
    if (next == kFail) return std::nullopt;
    return static_cast<uint8_t>(next);
  }
  void stopTouch() override { actions.push_back("stop touch"); }
  void startTouch() override { actions.push_back("start touch"); }
  void startProgram(const char* path, const char* commandLine) override {
    actions.push_back(std::string("run ") + path + (commandLine ? std::string(" ") + commandLine : ""));
  }
  void pause(std::chrono::milliseconds duration) override { actions.push_back("pause " + std::to_string(duration.count())); }
  void switchLamp(bool on) override {
    actions.push_back("backlight " + std::to_string(on) + " flag " + std::to_string(backlight.on()));
  }
  void playClick() override {}
};

const std::vector<std::string> kOffline = {"stop touch", "pause 1000",
                                           "run \\ResidentFlash2\\korvent\\app\\duskcard.exe sleep", "pause 1500",
                                           "run residentflash2\\sleep.exe"};
const std::vector<std::string> kOnline = {"start touch", "pause 50"};

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Case {
  const char* name;
  bool backlightBefore;
  std::vector<int> statuses;
  std::vector<std::string> actions;
  bool onMainsAfter, backlightAfter;
  size_t requests;
};

TEST(PowerWatcher, TransitionTable) {
  const std::vector<std::string> darkOffline = {
      "stop touch", "pause 1000", "backlight 1 flag 1", "run \\ResidentFlash2\\korvent\\app\\duskcard.exe sleep",
      "pause 1500", "run residentflash2\\sleep.exe"};
  const Case cases[] = {
      {"1,0,0,0,1: off at the second tick, on at the fifth", true, {1, 0, 0, 0, 1}, join(kOffline, kOnline), true, true, 5},
      {"255 on line", true, {255}, {}, true, true, 1},
      {"255 off line", true, {0, 255, 2}, kOffline, false, true, 3},
      {"no answer", true, {kFail, kFail}, {}, true, true, 2},
      {"no answer off line", true, {0, kFail}, kOffline, false, true, 2},
      {"dark screen: on code before the notice", false, {0}, darkOffline, false, true, 1},
      {"off line twice: one sequence", true, {0, 0}, kOffline, false, true, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePower fake;
    fake.statuses = c.statuses;
    fake.backlight.assume(c.backlightBefore);
    for (size_t tick = 0; tick < c.statuses.size(); ++tick) fake.watcher.tick();
    EXPECT_EQ(fake.actions, c.actions);
    EXPECT_EQ(fake.watcher.onMains(), c.onMainsAfter);
    EXPECT_EQ(fake.backlight.on(), c.backlightAfter);
    EXPECT_EQ(fake.requests, c.requests);
  }
}

TEST(PowerWatcher, PowerReturningToADarkScreenTakesItOnWithoutACode) {
  FakePower fake;
  fake.statuses = {0, 1};
  fake.watcher.tick();
  fake.backlight.assume(false);  // the peer turned the lamp off meanwhile
  fake.watcher.tick();
  EXPECT_EQ(fake.actions, join(kOffline, kOnline));
  EXPECT_TRUE(fake.backlight.on());
}

}  // namespace
