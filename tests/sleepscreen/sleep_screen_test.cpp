// The SleepScreen procedure's timing on a fake clock, what each message does,
// and start-up's exit codes. (The painting's release order is checked by the
// real runs under LeakSanitizer: a bitmap deleted while selected would leak.)
#include "sleepscreen/sleep_screen.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/window.h"
#include "sleepscreen/startup.h"

using sleepscreen::handleSleepScreenMessage;

namespace {

ce::Window* const kWindow = reinterpret_cast<ce::Window*>(0x5000);

// Timers on a virtual clock; sent messages run the procedure at once, like
// the platform's sendMessage on the owner's thread.
class FakeWindows final : public sleepscreen::WindowSystem {
 public:
  void setTimer(ce::Window*, uintptr_t id, uint32_t intervalMs) override { timers[id] = now + intervalMs; }
  void killTimer(ce::Window*, uintptr_t id) override { timers.erase(id); }
  intptr_t sendMessage(ce::Window* window, uint32_t message, uintptr_t wParam,
                       intptr_t lParam) override {
    return handleSleepScreenMessage(*this, window, message, wParam, lParam);
  }
  void postQuitMessage(int exitCode) override {
    if (!quitAt) quitAt = now, quitCode = exitCode;
  }
  intptr_t defWindowProc(ce::Window*, uint32_t message, uintptr_t, intptr_t) override {
    defaults.push_back(message);
    return 77;
  }
  void paint(ce::Window*) override { ++paints; }

  intptr_t deliver(uint32_t message, uintptr_t wParam = 0) {
    return handleSleepScreenMessage(*this, kWindow, message, wParam, 0);
  }

  // Runs from window creation at 0 ms with outside messages at the given
  // times until the quit request; the time it came, or nullopt by 60 s.
  std::optional<uint64_t> run(const std::vector<std::pair<uint64_t, uint32_t>>& messages) {
    deliver(ce::WM_CREATE);
    size_t next = 0;
    while (!quitAt && now < 60000) {
      auto timer = timers.begin();  // only id 100 is ever used
      bool timerFirst = timer != timers.end() &&
                        (next == messages.size() || timer->second < messages[next].first);
      if (timerFirst) {
        now = timer->second;
        deliver(ce::WM_TIMER, timer->first);
      } else if (next < messages.size()) {
        now = messages[next].first;
        deliver(messages[next++].second);
      } else {
        break;  // nothing will ever happen again
      }
    }
    return quitAt;
  }

  uint64_t now = 0;
  std::map<uintptr_t, uint64_t> timers;  // id -> due time
  std::optional<uint64_t> quitAt;
  int quitCode = -100;
  std::vector<uint32_t> defaults;
  int paints = 0;
};

TEST(SleepScreenTiming, EndsFifteenSecondsAfterCreationOrTwoAfterTheLatestRearm) {
  struct Case {
    const char* legend;
    std::vector<std::pair<uint64_t, uint32_t>> messages;  // (ms after creation, message)
    uint64_t endsAt;
  };
  std::vector<std::pair<uint64_t, uint32_t>> everySecond;
  for (uint64_t t = 1000; t <= 20000; t += 1000) everySecond.push_back({t, t % 2000 ? 1330u : 1336u});
  std::vector<Case> cases = {
      {"no messages", {}, 15000},
      {"1330 at 3000 shortens", {{3000, 1330}}, 5000},
      {"1336 at 14500 lengthens", {{14500, 1336}}, 16500},
      {"every second until 20000", everySecond, 22000},
      {"other messages change nothing", {{1000, 1331}, {2000, 1335}, {3000, ce::WM_PAINT}}, 15000},
      {"a rearm after the end is too late", {{15001, 1330}}, 15000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    FakeWindows windows;
    EXPECT_EQ(windows.run(c.messages), c.endsAt);
    EXPECT_EQ(windows.quitCode, 0);
    EXPECT_TRUE(windows.timers.empty()) << "the expired timer was not stopped";
  }
}

TEST(SleepScreenMessages, EachMessageGetsItsHandling) {
  FakeWindows windows;
  EXPECT_EQ(windows.deliver(ce::WM_CREATE), 0);
  EXPECT_EQ(windows.timers.at(100), 15000u);
  EXPECT_TRUE(windows.defaults.empty());

  EXPECT_EQ(windows.deliver(ce::WM_ERASEBKGND), 0);  // painted, not defaulted
  EXPECT_EQ(windows.paints, 1);
  EXPECT_EQ(windows.deliver(ce::WM_PAINT), 77);      // the default paints, via erase
  EXPECT_EQ(windows.paints, 1);

  windows.now = 4000;
  EXPECT_EQ(windows.deliver(1336), 77);  // re-armed, then default handling
  EXPECT_EQ(windows.timers.at(100), 6000u);

  EXPECT_EQ(windows.deliver(ce::WM_DESTROY), 77);  // quit requested, then default
  EXPECT_EQ(windows.quitCode, 0);
  EXPECT_EQ(windows.defaults, (std::vector<uint32_t>{ce::WM_PAINT, 1336, ce::WM_DESTROY}));
}

TEST(SleepScreenMessages, TimerStopsTheTimerItNames) {
  FakeWindows windows;
  windows.deliver(ce::WM_CREATE);
  windows.timers[7] = 99;
  EXPECT_EQ(windows.deliver(ce::WM_TIMER, 7), 0);
  EXPECT_EQ(windows.timers.count(7), 0u);
  EXPECT_EQ(windows.timers.count(100), 1u);
  EXPECT_EQ(windows.quitAt, 0u);  // and the destroy ran
}

// Start-up over a scripted platform.
class FakeStartup final : public sleepscreen::StartupSystem {
 public:
  bool createMutexExisted(const char*) override { return log("mutex"), mutexExisted; }
  ce::Window* findWindow(const char* c, const char* t) override {
    return log(std::string("find ") + c + "/" + t), other;
  }
  void setForegroundWindow(ce::Window* w) override {
    log(w == nullptr ? "foreground null" : w == other ? "foreground other" : w == kWindow ? "foreground own" : "foreground ?");
  }
  ce::ScreenSize screenMetrics() override { return log("metrics"), ce::ScreenSize{800, 480}; }
  uint16_t registerClass(const char* c) override { return log(std::string("register ") + c), atom; }
  ce::Window* createWindow(const char* c, const char* t, uint32_t style, int x, int y, int w,
                           int h) override {
    char text[96];
    std::snprintf(text, sizeof text, "create %s/%s %#x %d,%d %dx%d", c, t, style, x, y, w, h);
    return log(text), created;
  }
  bool isWindow(ce::Window*) override { return log("isWindow"), valid; }
  void showWindow(ce::Window*, int command) override { log("show " + std::to_string(command)); }
  void updateWindow(ce::Window*) override { log("update"); }
  bool getMessage(ce::Message& m) override {
    log("get");
    if (pending-- > 0) return true;
    m.message = ce::WM_QUIT;
    m.wParam = 0;
    return false;
  }
  void translateMessage(const ce::Message&) override {}
  void dispatchMessage(const ce::Message&) override { log("dispatch"); }

  void log(const std::string& call) { calls.push_back(call); }
  bool mutexExisted = false, valid = true;
  uint16_t atom = 0xC001;
  ce::Window* created = kWindow;
  ce::Window* other = nullptr;
  int pending = 1;
  std::vector<std::string> calls;
};

TEST(SleepScreenStartup, ExitCodesAndOrder) {
  const std::vector<std::string> made = {"mutex", "metrics", "register SLEEP",
                                         "create SLEEP/SLEEP 0x80080000 0,0 800x480", "isWindow"};
  std::vector<std::string> normal = made;
  normal.insert(normal.end(), {"show 1", "update", "foreground own", "get", "dispatch", "get"});
  struct Case {
    const char* legend;
    void (*setUp)(FakeStartup&);
    int exitCode;
    std::vector<std::string> calls;
  };
  std::vector<Case> cases = {
      {"runs until the quit message", [](FakeStartup&) {}, 0, normal},
      {"another instance, its window found", [](FakeStartup& s) { s.mutexExisted = true, s.other = reinterpret_cast<ce::Window*>(0x9); },
       -1, {"mutex", "find SLEEP/SLEEP", "foreground other"}},
      {"another instance without a window yet", [](FakeStartup& s) { s.mutexExisted = true; },
       -1, {"mutex", "find SLEEP/SLEEP", "foreground null"}},
      {"class refused", [](FakeStartup& s) { s.atom = 0; }, 16, {"mutex", "metrics", "register SLEEP"}},
      {"no window", [](FakeStartup& s) { s.created = nullptr; }, 16,
       {"mutex", "metrics", "register SLEEP", "create SLEEP/SLEEP 0x80080000 0,0 800x480"}},
      {"window fails the validity test", [](FakeStartup& s) { s.valid = false; }, 16, made},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    FakeStartup startup;
    c.setUp(startup);
    sleepscreen::SleepScreenState state;
    EXPECT_EQ(sleepscreen::runSleepScreen(startup, state), c.exitCode);
    EXPECT_EQ(startup.calls, c.calls);
  }
}

}  // namespace
