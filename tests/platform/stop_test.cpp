// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Waits and pauses that a stop token ends: a stop ends them promptly whenever
// it lands (before the sleep, during it, on an event file truncated under the
// sleeper), never takes a signal meant for another waiter (thread or
// process), and start/stop cycles leave nothing behind. Also concurrent
// creation of one name, which must give every creator the same whole object.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/named_objects.h"
#include "router/threads.h"
#include "tests/platform/peer.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::DeviceSandbox;
using testing_support::waitUntil;

// Far above what a loaded two-core machine needs.
constexpr auto kPrompt = 2000ms;

constexpr int kNoResult = -1;

// A thread blocked in an event wait with no time-out under its stop token, recording its result.
struct Waiter {
  std::atomic<pid_t> tid{0};
  std::atomic<int> result{kNoResult};
  std::jthread thread;

  explicit Waiter(shub::os::Event* event) {
    thread = shub::router::startThread([this, event](std::stop_token stop) {
      tid = platform_test::currentTid();
      result = static_cast<int>(event->wait(std::nullopt, stop));
    });
  }
  bool asleep() const { return tid != 0 && platform_test::asleepOnFutex(getpid(), tid); }
  bool done() const { return result != kNoResult; }
};

std::chrono::milliseconds timeToStop(std::jthread& thread) {
  const auto start = std::chrono::steady_clock::now();
  shub::router::stopThread(thread);
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

size_t entriesIn(const char* dir) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++count;
  return count;
}

TEST(Thread, StopEndsEveryKindOfWaitPromptly) {
  DeviceSandbox sandbox;
  shub::os::Event named = shub::os::Event::create("CRT1:EVENT");
  shub::os::Event other = shub::os::Event::create("CRT2:EVENT");
  std::atomic<int> waitResult{kNoResult};
  std::atomic<bool> entered{false};
  struct Case {
    const char* legend;
    std::function<void(std::stop_token)> routine;
  };
  const Case cases[] = {
      {"named event, no time-out", [&](std::stop_token stop) { entered = true; waitResult = static_cast<int>(named.wait(std::nullopt, stop)); }},
      {"event, long time-out", [&](std::stop_token stop) { entered = true; waitResult = static_cast<int>(other.wait(std::chrono::milliseconds(600000), stop)); }},
      {"pause", [&](std::stop_token stop) { entered = true; shub::router::pauseFor(600s, stop); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    waitResult = kNoResult;
    entered = false;
    std::atomic<bool> returned{false};
    std::jthread thread = shub::router::startThread([&](std::stop_token stop) { c.routine(stop); returned = true; });
    ASSERT_TRUE(thread.joinable());
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
    EXPECT_LT(timeToStop(thread), kPrompt);
    EXPECT_TRUE(returned);
    if (waitResult != kNoResult) {
      EXPECT_EQ(waitResult, static_cast<int>(shub::os::WaitResult::stopped));
    }
  }
  EXPECT_EQ(named.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout) << "no stop may leave a signal behind";
}

// Another process shrinks the event file under a sleeper: no wake-up can reach
// the word any more, yet the stop must.
TEST(Thread, StopReachesASleeperWhoseEventFileWasTruncated) {
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("CRT:WRITE:EVENT");
  Waiter waiter(&event);
  ASSERT_TRUE(waitUntil([&] { return waiter.asleep(); }));
  ASSERT_EQ(truncate((sandbox.objects() + "/CRT:WRITE:EVENT").c_str(), 0), 0);
  EXPECT_LT(timeToStop(waiter.thread), kPrompt);
  EXPECT_EQ(waiter.result, static_cast<int>(shub::os::WaitResult::stopped));
}

// Makes the calling thread's futex_waitv fail with ENOSYS, as on kernels
// before 5.16. False when seccomp is not available.
bool refuseVectorWait() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_futex_waitv, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(Thread, WithoutTheVectorWaitSetsAndStopsStillEndAWait) {
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("CRT1:EVENT");
  std::atomic<int> first{kNoResult}, second{kNoResult};
  std::atomic<bool> filtered{false}, entered{false};
  std::jthread waiter([&](std::stop_token stop) {
    filtered = refuseVectorWait();
    entered = true;
    first = static_cast<int>(event.wait(std::nullopt, stop));
    second = static_cast<int>(event.wait(std::nullopt, stop));
  });
  ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
  if (!filtered) GTEST_SKIP() << "no seccomp here";  // the waiter's destructor stops it
  event.signal();
  ASSERT_TRUE(waitUntil([&] { return first != kNoResult; }));
  EXPECT_EQ(first, static_cast<int>(shub::os::WaitResult::signalled));
  EXPECT_LT(timeToStop(waiter), kPrompt);
  EXPECT_EQ(second, static_cast<int>(shub::os::WaitResult::stopped));
}

TEST(Thread, StopOfAFinishedOrEmptyThreadIsHarmless) {
  std::atomic<bool> finished{false};
  std::jthread quick = shub::router::startThread([&](std::stop_token) { finished = true; });
  ASSERT_TRUE(waitUntil([&] { return finished.load(); }));
  EXPECT_LT(timeToStop(quick), kPrompt);
  shub::router::stopThread(quick);  // twice
  EXPECT_FALSE(shub::router::startThread(nullptr).joinable());
  std::jthread none;
  shub::router::stopThread(none);
}

TEST(Thread, WaitsAndPausesWithoutAStopRunTheirCourse) {
  std::atomic<int> result{kNoResult};
  std::atomic<int64_t> pausedMs{0};
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("CRT1:EVENT");
  std::jthread thread = shub::router::startThread([&](std::stop_token stop) {
    const auto start = std::chrono::steady_clock::now();
    shub::router::pauseFor(40ms, stop);
    pausedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    result = static_cast<int>(event.wait(std::chrono::milliseconds(20), stop));
  });
  ASSERT_TRUE(waitUntil([&] { return result != kNoResult; }));
  EXPECT_GE(pausedMs, 40);
  EXPECT_EQ(result, static_cast<int>(shub::os::WaitResult::timeout));
  shub::router::stopThread(thread);

  const auto before = std::chrono::steady_clock::now();
  shub::router::pauseFor(40ms);
  EXPECT_GE(std::chrono::steady_clock::now() - before, 40ms);
}

TEST(Thread, ManyStartStopCyclesLeaveNothingBehind) {
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("CYCLE");
  {
    // A first cycle lets runtimes that start helper threads lazily (the
    // thread sanitizer's, for one) do so before the count is taken.
    Waiter warmUp(&event);
  }
  const size_t tasksBefore = entriesIn("/proc/self/task");
  const size_t fdsBefore = entriesIn("/proc/self/fd");
  for (int i = 0; i < 200; ++i) {
    Waiter waiter(&event);
    // Half the stops land before the thread sleeps, half after.
    if (i % 2 == 0) {
      ASSERT_TRUE(waitUntil([&] { return waiter.asleep(); }));
    }
    shub::router::stopThread(waiter.thread);
    ASSERT_EQ(waiter.result, static_cast<int>(shub::os::WaitResult::stopped)) << "cycle " << i;
  }
  EXPECT_TRUE(waitUntil([&] { return entriesIn("/proc/self/task") == tasksBefore; }));
  EXPECT_EQ(entriesIn("/proc/self/fd"), fdsBefore);
}

TEST(StoppedWaiter, LeavesTheSignalForTheOtherThread) {
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("CRT1:EVENT");
  Waiter a(&event), b(&event);
  ASSERT_TRUE(waitUntil([&] { return a.asleep() && b.asleep(); }));
  shub::router::stopThread(a.thread);
  EXPECT_EQ(a.result, static_cast<int>(shub::os::WaitResult::stopped));
  event.signal();
  ASSERT_TRUE(waitUntil([&] { return b.done(); }));
  EXPECT_EQ(b.result, static_cast<int>(shub::os::WaitResult::signalled));
  EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout);
}

// The set lands while A is being stopped, so the kernel may hand its wake-up
// to A. Exactly one wait must consume the signal: A (if it was taken before
// the stop) or B; a lost signal leaves B asleep and fails the deadline.
TEST(StoppedWaiter, SetDuringTheStopIsNeverLost) {
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("RACE:EVENT");
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    Waiter a(&event), b(&event);
    ASSERT_TRUE(waitUntil([&] { return a.asleep() && b.asleep(); }));
    std::latch go(2);
    std::thread setter([&] {
      go.arrive_and_wait();
      event.signal();
    });
    go.arrive_and_wait();
    shub::router::stopThread(a.thread);
    setter.join();
    if (a.result == static_cast<int>(shub::os::WaitResult::signalled)) {
      shub::router::stopThread(b.thread);
      EXPECT_EQ(b.result, static_cast<int>(shub::os::WaitResult::stopped));
    } else {
      EXPECT_EQ(a.result, static_cast<int>(shub::os::WaitResult::stopped));
      ASSERT_TRUE(waitUntil([&] { return b.done(); }, 10s)) << "the signal was lost";
      EXPECT_EQ(b.result, static_cast<int>(shub::os::WaitResult::signalled));
    }
    ASSERT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout) << "the signal was consumed twice or not at all";
  }
}

TEST(StoppedWaiter, LeavesTheSignalForAnotherProcess) {
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("CRT4:EVENT");
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    const bool setDuringStop = round % 2 == 1;
    auto other = platform_test::startPeer({"wait", "CRT4:EVENT", "30000"});
    Waiter a(&event);
    ASSERT_TRUE(waitUntil([&] { return a.asleep() && platform_test::asleepOnFutex(other.pid, other.pid); }));
    std::thread setter;
    if (setDuringStop) setter = std::thread([&] { event.signal(); });
    shub::router::stopThread(a.thread);
    if (setter.joinable()) setter.join();
    if (!setDuringStop) event.signal();
    if (a.result == static_cast<int>(shub::os::WaitResult::signalled)) event.signal();  // took it before the stop
    EXPECT_EQ(platform_test::finishPeer(other, 20s), 0) << "the other process must get the signal";
  }
  EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout);
}

TEST(Creation, ConcurrentCreatorsGetOneWholeObject) {
  DeviceSandbox sandbox;
  constexpr int kCreators = 8;
  std::latch go(kCreators);
  std::atomic<int> failures{0};
  std::vector<std::thread> creators;
  for (int i = 0; i < kCreators; ++i) {
    creators.emplace_back([&] {
      go.arrive_and_wait();
      shub::os::Block block = shub::os::openOrCreateBlock("CRT2", 288);
      uint8_t* bytes = block.data();
      shub::os::Event event = shub::os::Event::create("CRT2:EVENT");
      if (!bytes || !event.valid()) {
        ++failures;
      } else {
        shub::os::wordAt(bytes, 0).fetch_add(1);
        event.signal();
      }
    });
  }
  for (std::thread& creator : creators) creator.join();
  EXPECT_EQ(failures, 0);
  shub::os::Block block = shub::os::openOrCreateBlock("CRT2", 288);
  uint8_t* bytes = block.data();
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(shub::os::wordAt(bytes, 0).load(), uint32_t{kCreators});
  shub::os::Event event = shub::os::Event::open("CRT2:EVENT");
  EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::signalled);
  EXPECT_EQ(entriesIn(sandbox.objects().c_str()), 2u) << "no temporary file may remain";
}

}  // namespace
