// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The real duskcard under real kiosk compositors (wayland_harness.h): it
// covers the output with the bitmap's pixels, a second start exits 255 and
// leaves it shown, it ends by itself 15 s after it started, and 2 s after a
// 1330 that crtctl posts; a compositor that dies leaves it to end as its
// messages say.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/integration/wayland_harness.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/child_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sleepscreen_test::BmpRecipe;
using testing_support::ChildProcess;

namespace {

uint32_t gradient(int x, int y) {
  return static_cast<uint32_t>((x * 255 / 799) << 16 | (y * 255 / 1279) << 8 | ((x + y) & 0xFF));
}

// Taller than either output: cage's is 720x1280 (rotated), and the notice,
// first painted at the mode's 1280x720 before cage's configure says 720x1280,
// shows its lower part only when it paints again at the new size.
BmpRecipe notice() {
  BmpRecipe recipe;
  recipe.width = 800, recipe.height = 1280, recipe.pixel = gradient;
  return recipe;
}

// Pixels that differ from the bitmap drawn at (0, 0), black beyond it.
size_t mismatches(const wayland_test::Screenshot& shot, const BmpRecipe& recipe) {
  size_t wrong = 0;
  for (int y = 0; y < shot.height; ++y) {
    for (int x = 0; x < shot.width; ++x) {
      const bool inside = x < recipe.width && y < recipe.height;
      const uint32_t expected = inside ? sleepscreen_test::expectedColour(recipe, x, y) : 0;
      wrong += shot.pixels[static_cast<size_t>(y) * shot.width + x] != expected;
    }
  }
  return wrong;
}

using Maker = std::unique_ptr<wayland_test::Compositor> (*)(const testing_support::DeviceSandbox&);

class DuskcardOnWayland : public ::testing::Test {
 protected:
  explicit DuskcardOnWayland(Maker maker) : maker_(maker) {}
  void SetUp() override {
    sandbox_.writeFile("residentflash2/korvent/app/duskcard.bmp", sleepscreen_test::makeBmp(recipe_));
    compositor_ = maker_(sandbox_);
    std::string whyNot;
    if (!compositor_->start(whyNot)) GTEST_SKIP() << whyNot;
  }

  std::unique_ptr<ChildProcess> duskcard(const std::string& errPath = "") {
    return compositor_->client({compositor_->reachable(testing_support::builtProgram("sleepscreen/duskcard")), "sleep"},
                               errPath);
  }
  // crtctl as any other program of the device: by the socket, no display needed.
  bool post(uint32_t message) {
    ChildProcess crtctl({"env", "-u", "WAYLAND_DISPLAY", "-u", "DISPLAY", "CE_OBJECTS=" + sandbox_.objects(),
                         testing_support::builtProgram("client/crtctl"), "post", "SLEEP", "SLEEP",
                         std::to_string(message)});
    return crtctl.finish(10s) == 0;
  }
  ::testing::AssertionResult outputShowsNotice() {
    size_t wrong = 0;
    const bool shown = testing_support::waitUntil([&] {
      const std::optional<wayland_test::Screenshot> shot = compositor_->screenshot();
      wrong = shot ? mismatches(*shot, recipe_) : SIZE_MAX;
      return wrong == 0;
    }, 20s);
    if (shown) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (wrong == SIZE_MAX ? std::string("no screenshot")
                                                               : std::to_string(wrong) + " pixels differ");
  }
  bool socketMade() const { return std::filesystem::exists(sandbox_.objects() + "/SLEEP"); }

  void coversTheOutputKeepsItsPlaceAndEndsOnTime();
  void outlivesItsCompositor();

  Maker maker_;

  testing_support::DeviceSandbox sandbox_;
  BmpRecipe recipe_ = notice();
  std::unique_ptr<wayland_test::Compositor> compositor_;
};

void DuskcardOnWayland::coversTheOutputKeepsItsPlaceAndEndsOnTime() {
  const auto started = Clock::now();
  auto first = duskcard();
  EXPECT_TRUE(outputShowsNotice());
  EXPECT_EQ(duskcard()->finish(10s), 255);
  EXPECT_TRUE(outputShowsNotice()) << "the second start hid the first";
  // Its own time-out: 15 s from a window made after the process started.
  EXPECT_EQ(first->finish(40s), 0);
  EXPECT_GE(Clock::now() - started, 14900ms);
  EXPECT_LE(Clock::now() - started, 25s);

  auto rearmed = duskcard();
  ASSERT_TRUE(testing_support::waitUntil([&] { return socketMade(); }, 20s));
  ASSERT_TRUE(post(1330));
  const auto posted = Clock::now();
  EXPECT_EQ(rearmed->finish(10s), 0);
  EXPECT_GE(Clock::now() - posted, 1600ms);
  EXPECT_LE(Clock::now() - posted, 3s);
}

// Like a lost X server: said once, and the notice still ends as its messages say.
void DuskcardOnWayland::outlivesItsCompositor() {
  const std::string errors = sandbox_.base() + "/duskcard.err";
  auto notice = duskcard(errors);
  ASSERT_TRUE(outputShowsNotice());
  compositor_->kill();
  ASSERT_TRUE(testing_support::waitUntil([&] {
    return testing_support::readHostFile(errors).find("connection lost") != std::string::npos;
  }, 10s)) << testing_support::readHostFile(errors);
  ASSERT_TRUE(post(1336));
  EXPECT_EQ(notice->finish(10s), 0);
  const std::string said = testing_support::readHostFile(errors);
  EXPECT_EQ(said.find("connection lost"), said.rfind("connection lost")) << said;
}

struct WestonKioskShell : DuskcardOnWayland {
  WestonKioskShell() : DuskcardOnWayland(&wayland_test::makeWeston) {}
};
struct Cage : DuskcardOnWayland {
  Cage() : DuskcardOnWayland(&wayland_test::makeCage) {}
};

TEST_F(WestonKioskShell, CoversTheOutputKeepsItsPlaceAndEndsOnTime) { coversTheOutputKeepsItsPlaceAndEndsOnTime(); }
TEST_F(WestonKioskShell, OutlivesItsCompositor) { outlivesItsCompositor(); }
TEST_F(Cage, CoversTheOutputKeepsItsPlaceAndEndsOnTime) { coversTheOutputKeepsItsPlaceAndEndsOnTime(); }
TEST_F(Cage, OutlivesItsCompositor) { outlivesItsCompositor(); }

}  // namespace
