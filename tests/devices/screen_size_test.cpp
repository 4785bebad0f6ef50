// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Screen metrics from the simulated screen node, and 0x0 when no source
// answers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "devices/screen_size.h"
#include "tests/support/device_sandbox.h"

namespace {

class ScreenTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("DISPLAY"); }

  // The size when the screen node says nothing usable.
  static bool nothingElseAnswers() {
    return access("/sys/class/graphics/fb0/virtual_size", F_OK) != 0;
  }

  testing_support::DeviceSandbox sandbox;
};

TEST_F(ScreenTest, ReadsTheScreenNode) {
  struct Case {
    const char* contents;
    int32_t width, height;
  } cases[] = {
      {"800x480", 800, 480},
      {" 1024x600\n", 1024, 600},
      {"640X480\r\n", 640, 480},
      {"0x0\n", 0, 0},
  };
  for (const Case& c : cases) {
    sandbox.writeFile("dev/screen", c.contents);
    const shub::os::ScreenSize size = shub::devices::screenMetrics();
    EXPECT_EQ(size.width, c.width) << '"' << c.contents << '"';
    EXPECT_EQ(size.height, c.height) << '"' << c.contents << '"';
  }
}

TEST_F(ScreenTest, NodeNameIgnoresCaseAndIsReadAnewEachCall) {
  sandbox.writeFile("dev/SCREEN", "320x240");
  EXPECT_EQ(shub::devices::screenMetrics().width, 320);
  sandbox.writeFile("dev/SCREEN", "480x272\n");
  const shub::os::ScreenSize size = shub::devices::screenMetrics();
  EXPECT_EQ(size.width, 480);
  EXPECT_EQ(size.height, 272);
}

TEST_F(ScreenTest, MalformedOrMissingNodeFallsThroughToNothing) {
  if (!nothingElseAnswers()) GTEST_SKIP() << "this machine has a framebuffer; its size would answer";
  const char* malformed[] = {"", "800", "800x", "x480", "800x480x2", "-800x480", "abcxdef",
                             "99999999999999999999x480", "800 x 480"};
  for (const char* contents : malformed) {
    sandbox.writeFile("dev/screen", contents);
    const shub::os::ScreenSize size = shub::devices::screenMetrics();
    EXPECT_EQ(size.width, 0) << '"' << contents << '"';
    EXPECT_EQ(size.height, 0) << '"' << contents << '"';
  }
  unlink((sandbox.root() + "/dev/screen").c_str());
  EXPECT_EQ(shub::devices::screenMetrics().width, 0);
}

TEST_F(ScreenTest, NodeThatIsNotARegularFileIsIgnoredWithoutBlocking) {
  if (!nothingElseAnswers()) GTEST_SKIP() << "this machine has a framebuffer; its size would answer";
  ASSERT_EQ(mkfifo((sandbox.root() + "/dev/screen").c_str(), 0600), 0);
  EXPECT_EQ(shub::devices::screenMetrics().width, 0);  // would hang forever on a blocking open
}

}  // namespace
