// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The touch and control threads over real named objects in a sandbox: the
// stop guarantees of the touch injector, and the control channel's drop rules
// with a pause the test holds open. Results are awaited with deadlines.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "devices/backlight_click.h"
#include "devices/control_channel.h"
#include "devices/touch_injector.h"
#include "platform/named_objects.h"
#include "router/channel_block.h"
#include "tests/devices/fake_touch_platform.h"
#include "tests/support/test_channel.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

using namespace shub::router;
using namespace shub::devices;

using namespace std::chrono_literals;
using testing_support::entriesIn;
using testing_support::waitUntil;

namespace {

// A channel as the frame assembler would feed it.
struct Feeder : testing_support::TestChannel {
  explicit Feeder(const std::string& name) : TestChannel(name) {}
  void touch(uint8_t pen, uint16_t v, uint16_t x) {
    send(9, {pen, uint8_t(v), uint8_t(v >> 8), uint8_t(x), uint8_t(x >> 8)});
  }
};

class TouchThread : public ::testing::Test {
 protected:
  testing_support::DeviceSandbox sandbox;
  Feeder feeder{"CRT1"};
  FakeTouchPlatform fake;
  TouchInjector injector{fake};
};

TEST_F(TouchThread, StopWhilePenDownInjectsNothingAndTheNextTouchDoesNotClick) {
  injector.start();
  feeder.touch(0x41, 240, 400);
  ASSERT_TRUE(waitUntil([&] { return fake.count() == 2; }));  // event, click
  injector.stop();
  EXPECT_EQ(injector.touchState(), 1);
  feeder.touch(0x41, 240, 400);
  EXPECT_TRUE(feeder.pending()) << "a stopped injector must not consume frames";

  injector.start();
  feeder.touch(0x41, 480, 0);
  ASSERT_TRUE(waitUntil([&] { return fake.count() == 3; }));
  injector.stop();
  EXPECT_EQ(fake.actions(), (std::vector<std::string>{"32771 32767 32767", "click 1", "32770 0 0"}));
  EXPECT_EQ(injector.touchState(), 2);
}

TEST_F(TouchThread, NothingIsInjectedOnceStopReturnsEvenUnderAStreamOfFrames) {
  injector.start();
  std::atomic<bool> done{false};
  std::atomic<uint32_t> sent{0};
  std::thread producer([&] {
    while (!done.load()) {
      feeder.touch(sent.load() % 2 ? 0x41 : 0, 100, 100);
      sent.fetch_add(1);
      std::this_thread::yield();
    }
  });
  ASSERT_TRUE(waitUntil([&] { return fake.count() >= 20; }));
  injector.stop();
  const size_t atStop = fake.count();
  const uint32_t sentAtStop = sent.load();
  ASSERT_TRUE(waitUntil([&] { return sent.load() > sentAtStop + 200; }));
  done.store(true);
  producer.join();
  EXPECT_EQ(fake.count(), atStop);
}

TEST_F(TouchThread, StopStartCyclesLeaveNoThreadsOrDescriptorsBehind) {
  injector.start();
  injector.stop();
  const size_t fds = entriesIn("/proc/self/fd");
  const size_t tasks = entriesIn("/proc/self/task");
  for (int cycle = 0; cycle < 30; ++cycle) {
    injector.start();
    feeder.touch(cycle % 2 ? 0x41 : 0, 1, 1);
    ASSERT_TRUE(waitUntil([&] { return fake.count() >= static_cast<size_t>(cycle + 1); }));
    injector.stop();
  }
  EXPECT_EQ(entriesIn("/proc/self/fd"), fds);
  // A joined thread can linger in /proc for a moment, so the first count may
  // still hold the first cycle's: a leak shows as more, never as fewer.
  EXPECT_TRUE(waitUntil([&] { return entriesIn("/proc/self/task") <= tasks; }, 5s));
}

// The control channel with a simulated lamp that records each code, and a
// pause the test holds open until it lets go: what arrives inside the pause
// is decided by the test, not by the clock.
class ControlThread : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox.writeFile("dev/BKL1", "");
    control.start();
  }
  void hold(std::chrono::milliseconds duration, std::stop_token stop) {
    std::unique_lock lock(mutex);
    pausedFor = duration;
    ++pauses;
    changed.notify_all();
    changed.wait(lock, stop, [this] { return released > 0; });
    --released;
  }
  // Waits for pause number `n` to begin, then lets it end.
  bool release(int n) {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, 10s, [&] { return pauses >= n; })) return false;
    ++released;
    changed.notify_all();
    return true;
  }
  void command(uint8_t value) { feeder.send(10, {value}); }
  std::string lamp() const { return sandbox.readFile("dev/BKL1"); }
  size_t codes() const { return lamp().size() / 9; }  // "0x321048\n"
  // What arrived during a handling has been dropped.
  bool dropped() const { return !feeder.event.signalled(); }

  testing_support::DeviceSandbox sandbox;
  Feeder feeder{"CRT4"};
  std::mutex mutex;
  std::condition_variable_any changed;
  int pauses = 0, released = 0;
  std::chrono::milliseconds pausedFor{0};
  RealLampAndSpeaker lamp_;
  Backlight backlight{lamp_};
  ControlChannel control{backlight, [this](std::chrono::milliseconds duration, std::stop_token stop) { hold(duration, stop); }};
};

TEST_F(ControlThread, AToggleInsideThePauseIsDropped) {
  command(3);
  ASSERT_TRUE(waitUntil([&] { return codes() == 1; }));
  command(3);  // inside the pause
  ASSERT_TRUE(release(1));
  ASSERT_TRUE(waitUntil([&] { return dropped(); }));
  EXPECT_EQ(pausedFor, kControlPause);
  EXPECT_EQ(lamp(), "0x321048\n");
  EXPECT_FALSE(backlight.on());
}

TEST_F(ControlThread, TwoTogglesApartToggleTwiceAndEndWhereTheyBegan) {
  command(3);
  ASSERT_TRUE(release(1));
  ASSERT_TRUE(waitUntil([&] { return codes() == 1; }));
  // Sent until it lands: one sent before the first handling's reset is dropped.
  ASSERT_TRUE(waitUntil([&] {
    if (codes() == 1) command(3);
    return codes() == 2;
  }));
  ASSERT_TRUE(release(2));
  EXPECT_EQ(lamp(), "0x321048\n0x321044\n");
  EXPECT_TRUE(backlight.on());
}

TEST_F(ControlThread, PauseCommandSwallowsAToggleThatFollowsIt) {
  command(1);
  ASSERT_TRUE(waitUntil([&] { std::lock_guard lock(mutex); return pauses == 1; }));
  command(3);
  ASSERT_TRUE(release(1));
  ASSERT_TRUE(waitUntil([&] { return dropped(); }));
  EXPECT_EQ(codes(), 0u);
  EXPECT_TRUE(backlight.on());
}

TEST_F(ControlThread, OtherCommandsImposeNoPause) {
  int toggles = 0;
  for (const uint8_t other : {2, 0, 255}) {
    SCOPED_TRACE(int(other));
    const size_t before = codes();
    command(other);
    // A toggle sent while `other` is handled is dropped with it, so it is sent
    // until one lands; a pause after `other` (never let go) would hold it back.
    ASSERT_TRUE(waitUntil([&] {
      if (codes() == before) command(3);
      return codes() == before + 1;
    }));
    ASSERT_TRUE(release(++toggles));
    ASSERT_TRUE(waitUntil([&] { return dropped(); }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(pauses, toggles) << "only the toggles paused";
  }
}

TEST(ChannelStart, WithoutTheEventNoThreadRuns) {
  testing_support::DeviceSandbox sandbox;
  FakeTouchPlatform fake;
  TouchInjector injector{fake};
  RealLampAndSpeaker lamp;
  Backlight backlight{lamp};
  ControlChannel control{backlight};
  const size_t tasks = entriesIn("/proc/self/task");
  control.start();
  injector.start();
  EXPECT_EQ(entriesIn("/proc/self/task"), tasks);
}

}  // namespace
