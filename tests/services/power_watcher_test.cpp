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

class FakePower final : public PowerPlatform {
 public:
  std::vector<int> statuses;  // one per request, kFail for no answer
  size_t requests = 0;
  std::vector<std::string> actions;

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
  void pause(uint32_t ms) override { actions.push_back("pause " + std::to_string(ms)); }
  void backlightSwitch(int32_t on) override {
    actions.push_back("backlight " + std::to_string(on) + " flag " + std::to_string(backlightOn.load()));
  }
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
  int32_t acBefore, backlightBefore;
  std::vector<int> statuses;
  std::vector<std::string> actions;
  int32_t acAfter, backlightAfter;
  size_t requests;
};

TEST(PowerWatcher, TransitionTable) {
  const std::vector<std::string> darkOffline = {
      "stop touch", "pause 1000", "backlight 1 flag 1", "run \\ResidentFlash2\\korvent\\app\\duskcard.exe sleep",
      "pause 1500", "run residentflash2\\sleep.exe"};
  const Case cases[] = {
      {"1,0,0,0,1: off at the second tick, on at the fifth", 1, 1, {1, 0, 0, 0, 1}, join(kOffline, kOnline), 1, 1, 5},
      {"255 on line", 1, 1, {255}, {}, 1, 1, 1},
      {"255 off line", 0, 1, {255, 2}, {}, 0, 1, 2},
      {"no answer", 1, 1, {kFail, kFail}, {}, 1, 1, 2},
      {"no answer off line", 0, 0, {kFail}, {}, 0, 0, 1},
      {"dark screen: on code before the notice", 1, 0, {0}, darkOffline, 0, 1, 1},
      {"power returns to a dark screen: flag 1, no code", 0, 0, {1}, kOnline, 1, 1, 1},
      {"off line twice: one sequence", 1, 1, {0, 0}, kOffline, 0, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePower fake;
    fake.statuses = c.statuses;
    acOnline.store(c.acBefore);
    backlightOn.store(c.backlightBefore);
    for (size_t tick = 0; tick < c.statuses.size(); ++tick) runPowerTick(fake);
    EXPECT_EQ(fake.actions, c.actions);
    EXPECT_EQ(acOnline.load(), c.acAfter);
    EXPECT_EQ(backlightOn.load(), c.backlightAfter);
    EXPECT_EQ(fake.requests, c.requests);
  }
  acOnline.store(1);
  backlightOn.store(1);
}

}  // namespace
