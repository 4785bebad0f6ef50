// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Two real notices side by side, each on an X server and device of its own,
// so the long waits overlap: one left alone ends by itself about 15 s after
// its window appeared, with code 0, and a second start meanwhile neither
// stays nor moves that time; one re-armed late in its life, after a long
// quiet wait, ends 2 s after that message.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bmp_builder.h"
#include "tests/integration/x11_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"
#include "tests/support/xvfb_server.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::ChildProcess;

namespace {

// One device and display; its programs get them through env(1), whatever
// the test's own environment says meanwhile.
struct Notice {
  bool start(std::string& whyNot) {
    if (!xvfb.start(whyNot)) return false;
    sandbox.writeFile("residentflash2/korvent/app/duskcard.bmp", sleepscreen_test::makeBmp({}));
    return true;
  }
  std::unique_ptr<ChildProcess> run(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"env", "-u", "WAYLAND_DISPLAY", "DISPLAY=" + xvfb.display(), "CE_ROOT=" + sandbox.root(),
                               "CE_OBJECTS=" + sandbox.objects()});
    return std::make_unique<ChildProcess>(argv);
  }
  std::unique_ptr<ChildProcess> duskcard() {
    return run({testing_support::builtProgram("sleepscreen/duskcard"), "sleep"});
  }
  bool shown() const { return sleepscreen_test::findTopLevel(xvfb.display(), "SLEEP").has_value(); }
  bool post(uint32_t message) {
    return run({testing_support::builtProgram("client/crtctl"), "post", "SLEEP", "SLEEP", std::to_string(message)})
               ->finish(10s) == 0;
  }

  testing_support::XvfbServer xvfb;
  testing_support::DeviceSandbox sandbox;
};

TEST(DuskcardTimeout, EndsFifteenSecondsAfterCreationOrTwoAfterALateMessage) {
  Notice quiet, late;
  std::string whyNot;
  if (!quiet.start(whyNot) || !late.start(whyNot)) GTEST_SKIP() << "needs Xvfb: " << whyNot;

  const auto started = Clock::now();
  auto alone = quiet.duskcard();
  auto rearmed = late.duskcard();
  ASSERT_TRUE(testing_support::waitUntil([&] { return quiet.shown() && late.shown(); }, 10s));
  const auto shown = Clock::now();
  EXPECT_EQ(quiet.duskcard()->finish(10s), 255);

  // At 12 s on the test's schedule: late, yet clear of the 15 s time-out.
  std::this_thread::sleep_until(shown + 12s);
  ASSERT_TRUE(late.post(1336)) << "the late notice ended before its message";
  const auto posted = Clock::now();
  EXPECT_EQ(rearmed->finish(10s), 0);
  const auto afterMessage = Clock::now() - posted;
  EXPECT_GE(afterMessage, 1600ms);
  EXPECT_LE(afterMessage, 2400ms);

  EXPECT_EQ(alone->finish(40s), 0);
  const auto ended = Clock::now();
  // The timer starts after the process did, so 15 s is a hard lower bound;
  // the upper one leaves room for a loaded machine.
  EXPECT_GE(ended - started, 14900ms);
  EXPECT_LE(ended - started, 25s);
}

}  // namespace
