// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Touch decoding and the per-report state machine, without threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "devices/touch_injector.h"
#include "router/channel_block.h"
#include "tests/devices/fake_touch_platform.h"

using namespace shub::router;
using namespace shub::devices;

namespace {

struct Frame {
  uint8_t bytes[SHUB_BLOCK_SIZE] = {};
  Frame(uint8_t pen, uint16_t vertical, uint16_t horizontal) {
    bytes[9] = pen;
    bytes[10] = static_cast<uint8_t>(vertical);
    bytes[11] = static_cast<uint8_t>(vertical >> 8);
    bytes[12] = static_cast<uint8_t>(horizontal);
    bytes[13] = static_cast<uint8_t>(horizontal >> 8);
  }
};

constexpr shub::os::ScreenSize kScreen{800, 480};

TEST(TouchDecode, WorkedValuesOnAn800x480Screen) {
  struct Row {
    uint16_t reading;
    int32_t expected;
  };
  const Row horizontal[] = {{0, 0}, {1, 81}, {400, 32767}, {799, 65453}, {800, 65535}, {65535, 5368545}};
  const Row vertical[] = {{0, 65535}, {1, 65398}, {240, 32767}, {479, 136}, {480, 0}, {500, -2730}};
  for (const Row& row : horizontal) {
    EXPECT_EQ(decodeTouchFrame(Frame(0x41, 240, row.reading).bytes, kScreen).x, row.expected) << "X " << row.reading;
  }
  for (const Row& row : vertical) {
    EXPECT_EQ(decodeTouchFrame(Frame(0x41, row.reading, 400).bytes, kScreen).y, row.expected) << "V " << row.reading;
  }
}

TEST(TouchDecode, PenStateIsDownOnlyForCapitalA) {
  struct Row {
    uint8_t pen;
    bool down;
  } const rows[] = {{0x41, true}, {0x61, false}, {0x00, false}, {0x42, false}, {0xC1, false}};
  for (const Row& row : rows) EXPECT_EQ(decodeTouchFrame(Frame(row.pen, 1, 1).bytes, kScreen).penDown, row.down);
}

TEST(TouchDecode, UnknownOrDegenerateScreenSizesGiveDefinedCoordinates) {
  const TouchReport unknown = decodeTouchFrame(Frame(0x41, 240, 400).bytes, {0, 0});
  EXPECT_EQ(unknown.x, 0);
  EXPECT_EQ(unknown.y, 0);
  // One pixel wide: 65535 * 65535 is beyond int32 and saturates.
  const TouchReport huge = decodeTouchFrame(Frame(0x41, 65535, 65535).bytes, {1, 1});
  EXPECT_EQ(huge.x, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(huge.y, std::numeric_limits<int32_t>::min());
}

class TouchReports : public ::testing::Test {
 protected:
  void report(bool down, int32_t x, int32_t y, uint32_t volume = 1) { injector.handleReport({down, x, y}, volume); }
  FakeTouchPlatform fake;
  TouchInjector injector{fake};
};

TEST_F(TouchReports, ThreeDownsAndAnUpGiveOneClickAfterTheFirstEvent) {
  std::vector<int32_t> states;
  report(true, 32767, 32767);
  states.push_back(injector.touchState());
  report(true, 100, 200);
  states.push_back(injector.touchState());
  report(true, 0, 0);
  states.push_back(injector.touchState());
  report(false, 5, 6);
  states.push_back(injector.touchState());
  EXPECT_EQ(states, (std::vector<int32_t>{1, 2, 2, 0}));
  EXPECT_EQ(fake.actions(), (std::vector<std::string>{"32771 32767 32767", "click 1", "32771 100 200",
                                                      "32770 0 0", "4 0 0"}));
}

TEST_F(TouchReports, ClickKindIsTheTapVolumeAndUpReportsRepeat) {
  report(true, 0, 65535, 2);
  report(false, 1, 1, 2);
  report(false, 1, 1, 2);
  report(true, 1, 0, 0);  // volume 0: a click of kind 0 plays nothing, but is still the call made
  EXPECT_EQ(fake.actions(),
            (std::vector<std::string>{"32771 0 65535", "click 2", "4 0 0", "4 0 0", "32771 1 0", "click 0"}));
}

}  // namespace
