// One real run without messages: duskcard ends by itself about 15 s after
// its window appeared, with code 0, and a second start meanwhile neither
// stays nor moves that time.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/sleepscreen/bmp_builder.h"
#include "tests/sleepscreen/x11_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"
#include "tests/support/xvfb_server.h"

using namespace std::chrono_literals;

TEST(DuskcardTimeout, EndsAfterFifteenSecondsDespiteASecondStart) {
  testing_support::XvfbServer xvfb;  // DISPLAY while it runs
  std::string whyNot;
  if (!xvfb.start(whyNot)) GTEST_SKIP() << "needs Xvfb: " << whyNot;
  testing_support::DeviceSandbox sandbox;
  sandbox.writeFile("residentflash2/korvent/app/duskcard.bmp", sleepscreen_test::makeBmp({}));
  const std::string program = testing_support::builtProgram("sleepscreen/duskcard");

  auto started = std::chrono::steady_clock::now();
  testing_support::ChildProcess first({program, "sleep"});
  ASSERT_TRUE(testing_support::waitUntil(
      [&] { return sleepscreen_test::findTopLevel(xvfb.display(), "SLEEP").has_value(); }, 10s));
  testing_support::ChildProcess second({program, "sleep"});
  EXPECT_EQ(second.finish(10s), 255);

  EXPECT_EQ(first.finish(40s), 0);
  auto ended = std::chrono::steady_clock::now();
  // The timer starts after the process did, so 15 s is a hard lower bound;
  // the upper one leaves room for a loaded machine.
  EXPECT_GE(ended - started, 14900ms);
  EXPECT_LE(ended - started, 25s);
}
