// The per-thread message queue without a display: posting across threads,
// quit, timers with and without a procedure, retrieval order, message-only
// windows and quit signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/window.h"
#include "tests/support/wait.h"

namespace {

struct Seen {
  uint32_t message;
  uintptr_t wParam;
  intptr_t lParam;
};

// Procedures are plain functions: they record into this thread's log.
thread_local std::vector<Seen> seen;
thread_local intptr_t createResult = 0;

intptr_t recordingProc(ce::Window* w, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  seen.push_back({message, wParam, lParam});
  if (message == ce::WM_CREATE) return createResult;
  return ce::defWindowProc(w, message, wParam, lParam);
}

struct TimerCall {
  uintptr_t id;
  uint32_t tick;
};
thread_local std::vector<TimerCall> timerCalls;

void recordingTimer(ce::Window*, uint32_t, uintptr_t id, uint32_t) {
  timerCalls.push_back({id, ce::tickCount()});
}

std::atomic<bool> forgedTimerCalled{false};
void forgedTimer(ce::Window*, uint32_t, uintptr_t, uint32_t) { forgedTimerCalled.store(true); }

ce::Window* restartTarget = nullptr;
void restartingTimer(ce::Window* w, uint32_t, uintptr_t id, uint32_t) {
  ce::killTimer(w, id);
  ce::setTimer(restartTarget, 1, 100, nullptr);
}

class MessageQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const uint16_t atom = ce::registerClass("QueueTest", recordingProc);
    ASSERT_NE(atom, 0);
    unsetenv("DISPLAY");
    seen.clear();
    timerCalls.clear();
    createResult = 0;
    window = ce::createWindow("QueueTest", "hidden", ce::WS_VISIBLE, 0, 0, 0, 0);
    ASSERT_NE(window, nullptr);
    seen.clear();
  }
  void TearDown() override { ce::destroyWindow(window); }

  // Retrieves and dispatches one message; false for the quit message.
  bool pump(ce::Message& m) {
    if (!ce::getMessage(m)) return false;
    ce::dispatchMessage(m);
    return true;
  }

  ce::Window* window = nullptr;
};

TEST_F(MessageQueueTest, PostFromAnotherThreadWakesTheLoop) {
  std::thread poster([w = window] { ce::postMessage(w, 1329, 7, -3); });
  ce::Message m;
  ASSERT_TRUE(pump(m));
  poster.join();
  EXPECT_EQ(m.window, window);
  EXPECT_EQ(m.message, 1329u);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].wParam, 7u);
  EXPECT_EQ(seen[0].lParam, -3);
}

TEST_F(MessageQueueTest, PostedToAWindowOfAnotherThreadGoesToThatThread) {
  std::atomic<ce::Window*> other{nullptr};
  std::atomic<uint32_t> received{0};
  std::thread owner([&] {
    ce::Window* w = ce::createWindow("QueueTest", "other", 0, 0, 0, 0, 0);
    other.store(w);
    ce::Message m;
    while (ce::getMessage(m)) {
      received.store(m.message);
      ce::postQuitMessage(0);
    }
    ce::destroyWindow(w);
  });
  ASSERT_TRUE(testing_support::waitUntil([&] { return other.load() != nullptr; }));
  ASSERT_TRUE(ce::postMessage(other.load(), 1330, 0, 0));
  owner.join();
  EXPECT_EQ(received.load(), 1330u);
  EXPECT_FALSE(ce::isWindow(other.load()));
  EXPECT_FALSE(ce::postMessage(other.load(), 1330, 0, 0));
}

TEST_F(MessageQueueTest, QuitComesAfterPostedMessagesAndCarriesItsCode) {
  ce::postMessage(window, 1000, 0, 0);
  ce::postQuitMessage(7);
  ce::Message m;
  ASSERT_TRUE(ce::getMessage(m));
  EXPECT_EQ(m.message, 1000u);
  ASSERT_FALSE(ce::getMessage(m));
  EXPECT_EQ(m.message, ce::WM_QUIT);
  EXPECT_EQ(m.wParam, 7u);
}

TEST_F(MessageQueueTest, TimerWithProcedureRunsItAtItsInterval) {
  const uint32_t start = ce::tickCount();
  ASSERT_NE(ce::setTimer(window, 8000, 50, recordingTimer), 0u);
  ce::Message m;
  while (timerCalls.size() < 3 && pump(m)) {
    EXPECT_EQ(m.message, ce::WM_TIMER);
  }
  ASSERT_EQ(timerCalls.size(), 3u);
  EXPECT_TRUE(seen.empty()) << "a timer with a procedure must not reach the window procedure";
  uint32_t previous = start;
  for (const TimerCall& call : timerCalls) {
    EXPECT_EQ(call.id, 8000u);
    EXPECT_GE(call.tick - previous, 49u);  // never early (1 ms tick granularity)
    EXPECT_LT(call.tick - previous, 2000u);
    previous = call.tick;
  }
}

TEST_F(MessageQueueTest, TimerWithoutProcedureReachesTheWindowProcedure) {
  ASSERT_EQ(ce::setTimer(window, 100, 20, nullptr), 100u);
  ce::Message m;
  ASSERT_TRUE(pump(m));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].message, ce::WM_TIMER);
  EXPECT_EQ(seen[0].wParam, 100u);
  EXPECT_EQ(seen[0].lParam, 0);
}

TEST_F(MessageQueueTest, RestartingAnIdReplacesItAndCountsAnew) {
  // Timer 1 (100 ms) is restarted by timer 2 at about 60 ms: its first tick
  // comes 100 ms after the restart, and only one timer 1 exists afterwards.
  restartTarget = window;
  const uint32_t start = ce::tickCount();
  ce::setTimer(window, 1, 100, nullptr);
  ce::setTimer(window, 2, 60, restartingTimer);
  ce::Message m;
  while (seen.empty() && pump(m)) {
  }
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].wParam, 1u);
  EXPECT_GE(ce::tickCount() - start, 159u);
  ce::setTimer(window, 1, 5000, nullptr);
  ce::setTimer(window, 1, 30, nullptr);  // replaces the 5 s one
  const uint32_t restarted = ce::tickCount();
  while (seen.size() < 2 && pump(m)) {
  }
  EXPECT_LT(ce::tickCount() - restarted, 4000u);
}

TEST_F(MessageQueueTest, KilledTimerStaysSilent) {
  ce::setTimer(window, 5, 20, nullptr);
  EXPECT_TRUE(ce::killTimer(window, 5));
  EXPECT_FALSE(ce::killTimer(window, 5));
  ce::setTimer(window, 6, 150, nullptr);
  ce::Message m;
  while (seen.empty() && pump(m)) {
  }
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].wParam, 6u);
}

TEST_F(MessageQueueTest, DueTimerWaitsUntilPostedMessagesAndQuitAreTaken) {
  ce::setTimer(window, 9, 10, nullptr);
  const uint32_t set = ce::tickCount();
  ASSERT_TRUE(testing_support::waitUntil([&] { return ce::tickCount() - set >= 20; }));
  ce::postMessage(window, 1001, 0, 0);
  ce::postMessage(window, 1002, 0, 0);
  ce::Message m;
  ASSERT_TRUE(ce::getMessage(m));
  EXPECT_EQ(m.message, 1001u);
  ASSERT_TRUE(ce::getMessage(m));
  EXPECT_EQ(m.message, 1002u);
  ce::postQuitMessage(0);
  EXPECT_FALSE(ce::getMessage(m)) << "quit must win over a due timer";
  ASSERT_TRUE(ce::getMessage(m));
  EXPECT_EQ(m.message, ce::WM_TIMER);
}

TEST_F(MessageQueueTest, ForgedTimerProcedureIsNeverCalled) {
  // Another process can post WM_TIMER with any lParam: only a procedure that
  // was registered for that timer may run.
  ce::setTimer(window, 3, 60000, recordingTimer);
  for (const uintptr_t id : {uintptr_t{3}, uintptr_t{4}}) {
    ce::postMessage(window, ce::WM_TIMER, id, reinterpret_cast<intptr_t>(forgedTimer));
    ce::Message m;
    ASSERT_TRUE(pump(m));
  }
  EXPECT_FALSE(forgedTimerCalled.load());
  EXPECT_TRUE(timerCalls.empty());
}

TEST_F(MessageQueueTest, QueueRefusesPostsBeyondItsBound) {
  int accepted = 0;
  while (accepted < 20000 && ce::postMessage(window, 1003, 0, 0)) ++accepted;
  EXPECT_EQ(accepted, 10000);
  ce::Message m;
  for (int i = 0; i < accepted; ++i) ASSERT_TRUE(ce::getMessage(m));
  EXPECT_TRUE(ce::postMessage(window, 1003, 0, 0));
  ASSERT_TRUE(ce::getMessage(m));
}

TEST_F(MessageQueueTest, MessageOnlyWindowLifecycleNeedsNoDisplay) {
  ce::Window* w = ce::createWindow("QueueTest", "GetPowerTate", ce::WS_VISIBLE, 0, 0, 0, 0);
  ASSERT_NE(w, nullptr);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].message, ce::WM_CREATE);
  EXPECT_TRUE(ce::isWindow(w));
  EXPECT_EQ(ce::findWindow("queuetest", "GetPowerTate"), w);
  seen.clear();
  ce::sendMessage(w, ce::WM_CLOSE, 0, 0);  // default handling destroys
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].message, ce::WM_DESTROY);
  EXPECT_FALSE(ce::isWindow(w));
  EXPECT_FALSE(ce::postMessage(w, 1, 0, 0));
  EXPECT_EQ(ce::setTimer(w, 1, 10, nullptr), 0u);
  EXPECT_EQ(ce::findWindow("QueueTest", "GetPowerTate"), nullptr);
}

TEST_F(MessageQueueTest, CreationRefusedByTheProcedureOrWithoutDisplay) {
  createResult = -1;
  EXPECT_EQ(ce::createWindow("QueueTest", "refused", 0, 0, 0, 0, 0), nullptr);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].message, ce::WM_DESTROY);
  createResult = 0;
  seen.clear();
  EXPECT_EQ(ce::createWindow("QueueTest", "SLEEP", 0, 0, 0, 800, 480), nullptr);
  EXPECT_TRUE(seen.empty()) << "no WM_CREATE for a window that could not be made";
  EXPECT_EQ(ce::createWindow("NoSuchClass", "x", 0, 0, 0, 0, 0), nullptr);
  EXPECT_EQ(ce::registerClass("queuetest", recordingProc), 0) << "class names ignore case";
  EXPECT_EQ(ce::registerClass("", recordingProc), 0);
  EXPECT_EQ(ce::registerClass("NoProc", nullptr), 0);
}

TEST_F(MessageQueueTest, QuitSignalsBecomeTheQuitMessage) {
  ce::postQuitOnSignals();
  for (const int signalNumber : {SIGTERM, SIGINT}) {
    raise(signalNumber);
    ce::Message m;
    ASSERT_FALSE(ce::getMessage(m)) << "signal " << signalNumber;
    EXPECT_EQ(m.wParam, 0u);
  }
  // From another thread, while this one sleeps in getMessage().
  std::thread sender([] { kill(getpid(), SIGHUP); });
  ce::Message m;
  EXPECT_FALSE(ce::getMessage(m));
  sender.join();
}

}  // namespace
