// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The real duskcard on a private Xvfb: what it paints, how it ends, and what
// a missing bitmap and a missing display do (a second start: see
// duskcard_timeout_test).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "tests/support/bmp_builder.h"
#include "tests/integration/x11_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"
#include "tests/support/xvfb_server.h"

using namespace std::chrono_literals;
using sleepscreen_test::BmpRecipe;
using testing_support::ChildProcess;

namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 480;
// Case differs from the device path on purpose: components match without regard to case.
constexpr char kBitmapFile[] = "ResidentFlash2/KORVENT/app/DuskCard.BMP";

uint32_t gradient(int x, int y) {
  return static_cast<uint32_t>((x * 255 / 799) << 16 | (y * 255 / 479) << 8 | ((x + y) & 0xFF));
}
uint32_t checker(int x, int y) { return static_cast<uint32_t>((x / 16 + y / 16) % 256); }
uint32_t stripes(int x, int y) { return static_cast<uint32_t>(y < 20 ? 0xFF0000 : (x % 50) * 5 << 8 | 0x40); }

BmpRecipe fullScreen24() {
  BmpRecipe recipe;
  recipe.width = kWidth, recipe.height = kHeight, recipe.pixel = gradient;
  return recipe;
}

BmpRecipe fullScreenPalette() {
  BmpRecipe recipe;
  recipe.width = kWidth, recipe.height = kHeight, recipe.bitsPerPixel = 8, recipe.pixel = checker;
  for (uint32_t i = 0; i < 256; ++i) recipe.palette.push_back((i * 0x9E3779B1u) >> 8 & 0xFFFFFF);
  return recipe;
}

BmpRecipe smallTopDown() {
  BmpRecipe recipe;
  recipe.width = 300, recipe.height = -200, recipe.pixel = stripes;
  return recipe;
}

// Count of pixels that differ from what `recipe` drawn at (0, 0) should show,
// black outside it.
size_t mismatches(const std::vector<uint32_t>& screen, const BmpRecipe* recipe) {
  if (screen.size() != static_cast<size_t>(kWidth) * kHeight) return screen.size() + 1;
  size_t wrong = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      bool inside = recipe && x < recipe->width && y < std::abs(recipe->height);
      uint32_t expected = inside ? sleepscreen_test::expectedColour(*recipe, x, y) : 0;
      wrong += screen[static_cast<size_t>(y) * kWidth + x] != expected;
    }
  }
  return wrong;
}

// Each test on a server of its own, which is DISPLAY while it runs.
class DuskcardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("WAYLAND_DISPLAY");  // a desktop session's compositor would take the notice
    std::string whyNot;
    if (!xvfb_.start(whyNot, kWidth, kHeight)) GTEST_SKIP() << "needs Xvfb: " << whyNot;
  }

  std::unique_ptr<ChildProcess> start() {
    return std::make_unique<ChildProcess>(std::vector<std::string>{testing_support::builtProgram("sleepscreen/duskcard"), "sleep"});
  }
  bool windowShown() { return sleepscreen_test::findTopLevel(xvfb_.display(), "SLEEP").has_value(); }
  // Through crtctl, a process of its own: this process's X connection would
  // outlive the Xvfb of an earlier test.
  bool post(uint32_t message) {
    ChildProcess crtctl({testing_support::builtProgram("client/crtctl"), "post", "SLEEP", "SLEEP",
                  std::to_string(message)});
    return crtctl.finish(10s) == 0;
  }
  // Waits until the screen shows `recipe` (nullptr: all black).
  ::testing::AssertionResult screenShows(const BmpRecipe* recipe) {
    size_t wrong = 0;
    bool ok = testing_support::waitUntil([&] {
      wrong = mismatches(sleepscreen_test::readScreen(xvfb_.display(), kWidth, kHeight), recipe);
      return wrong == 0;
    }, 10s);
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << wrong << " pixels differ";
  }

  testing_support::DeviceSandbox sandbox;
  testing_support::XvfbServer xvfb_;
};

TEST_F(DuskcardTest, PaintsTheImageOverTheWholeScreenUnderTheArrow) {
  // The notice sets the arrow rather than showing whatever the root has.
  const std::vector<uint32_t> arrow = sleepscreen_test::standardArrow(xvfb_.display());
  ASSERT_FALSE(arrow.empty()) << "no cursor image from XFixes";
  ASSERT_NE(sleepscreen_test::cursorShown(xvfb_.display()), arrow) << "the root shows the arrow already";
  struct Case {
    const char* legend;
    BmpRecipe recipe;
  } cases[] = {
      {"24-bit, screen-sized", fullScreen24()},
      {"8-bit with a colour table", fullScreenPalette()},
      {"top-down, smaller than the screen: black beyond", smallTopDown()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    sandbox.writeFile(kBitmapFile, sleepscreen_test::makeBmp(c.recipe));
    auto duskcard = start();
    ASSERT_TRUE(testing_support::waitUntil([&] { return windowShown(); }, 10s));
    auto geometry = sleepscreen_test::findTopLevel(xvfb_.display(), "SLEEP");
    ASSERT_TRUE(geometry.has_value());
    EXPECT_EQ(geometry->x, 0);
    EXPECT_EQ(geometry->y, 0);
    EXPECT_EQ(geometry->width, kWidth);
    EXPECT_EQ(geometry->height, kHeight);
    EXPECT_TRUE(screenShows(&c.recipe));
    EXPECT_TRUE(testing_support::waitUntil([&] { return sleepscreen_test::cursorShown(xvfb_.display()) == arrow; }))
        << "the cursor over the notice is not the arrow";
    // A re-arm ends it 2 s later: well short of the 15 s it would otherwise show.
    const auto posted = std::chrono::steady_clock::now();
    ASSERT_TRUE(post(1330));
    EXPECT_EQ(duskcard->finish(12s), 0);
    const auto elapsed = std::chrono::steady_clock::now() - posted;
    EXPECT_GE(elapsed, 1900ms);
    EXPECT_LE(elapsed, 10s);
  }
}

// A message re-arms from its arrival, however long the notice waited before
// it: one soon after the window appeared, then a chain a second apart, each
// keeping it alive, and the end 2 s after the last. (Late in the notice's
// life: see duskcard_timeout_test.) The messages keep a schedule; the end is
// the exit seen on the pid, measured from the return of the last poster.
TEST_F(DuskcardTest, EndsTwoSecondsAfterTheLatestMessage) {
  auto duskcard = start();
  ASSERT_TRUE(testing_support::waitUntil([&] { return windowShown(); }, 10s));
  const auto shown = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point posted;
  int second = 0;
  for (const uint32_t message : {1330u, 1336u, 1330u}) {
    std::this_thread::sleep_until(shown + ++second * 1s);  // the schedule, not a synchronisation
    ASSERT_TRUE(post(message)) << "ended before the message of second " << second;
    posted = std::chrono::steady_clock::now();
  }
  EXPECT_EQ(duskcard->finish(10s), 0);
  const auto elapsed = std::chrono::steady_clock::now() - posted;
  EXPECT_GE(elapsed, 1600ms);
  EXPECT_LE(elapsed, 2400ms);
}

TEST_F(DuskcardTest, MissingBitmapShowsBlackAndStillEndsWithZero) {
  auto duskcard = start();
  ASSERT_TRUE(testing_support::waitUntil([&] { return windowShown(); }, 10s));
  EXPECT_TRUE(screenShows(nullptr));
  EXPECT_TRUE(post(1336));
  EXPECT_EQ(duskcard->finish(10s), 0);
}

TEST(DuskcardWithoutDisplay, ExitsSixteen) {
  testing_support::DeviceSandbox sandbox;
  // A compositor named but not there is no window either.
  setenv("WAYLAND_DISPLAY", "serialhub-no-such-compositor", 1);
  for (const char* display : {static_cast<const char*>(nullptr), ":0.99999"}) {
    SCOPED_TRACE(display ? display : "DISPLAY unset");
    const char* previous = std::getenv("DISPLAY");
    std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
    if (display) setenv("DISPLAY", display, 1);
    else unsetenv("DISPLAY");
    ChildProcess duskcard({testing_support::builtProgram("sleepscreen/duskcard")});
    EXPECT_EQ(duskcard.finish(20s), 16);
    if (saved) setenv("DISPLAY", saved->c_str(), 1);
    else unsetenv("DISPLAY");
  }
  unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
