// One real run without messages: duskcard ends by itself about 15 s after
// its window appeared, with code 0, and a second start meanwhile neither
// stays nor moves that time.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/sleepscreen/bmp_builder.h"
#include "tests/sleepscreen/x11_harness.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;

TEST(DuskcardTimeout, EndsAfterFifteenSecondsDespiteASecondStart) {
  sleepscreen_test::Xvfb xvfb(800, 480);
  if (!xvfb.ok()) GTEST_SKIP() << "needs Xvfb: " << xvfb.failure();
  testing_support::DeviceSandbox sandbox;
  setenv("DISPLAY", xvfb.display().c_str(), 1);
  sandbox.writeFile("residentflash2/korvent/app/duskcard.bmp", sleepscreen_test::makeBmp({}));
  const std::string program = testing_support::builtProgram("sleepscreen/duskcard");

  auto started = std::chrono::steady_clock::now();
  sleepscreen_test::Child first({program, "sleep"});
  ASSERT_TRUE(testing_support::waitUntil(
      [&] { return sleepscreen_test::findTopLevel(xvfb.display(), "SLEEP").has_value(); }, 10s));
  sleepscreen_test::Child second({program, "sleep"});
  EXPECT_EQ(second.waitExit(10s), 255);

  EXPECT_EQ(first.waitExit(40s), 0);
  auto ended = std::chrono::steady_clock::now();
  // The timer starts after the process did, so 15 s is a hard lower bound;
  // the upper one leaves room for a loaded machine.
  EXPECT_GE(ended - started, 14900ms);
  EXPECT_LE(ended - started, 25s);
  unsetenv("DISPLAY");
}
