// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Capture files as people write them: what each kind of line reads as, the
// lines refused (by their number), and plain hex dumps.
#include <gtest/gtest.h>

#include "client/capture_format.h"

namespace {

using shub::client::Capture;
using shub::client::CaptureEvent;

TEST(CaptureFormat, ReadsTimedLinesEventsCommentsAndCrLf) {
  Capture capture;
  std::string error;
  ASSERT_TRUE(shub::client::parseCapture("# serialhub capture 1\r\n"
                                   "# a comment\n"
                                   "\n"
                                   "0 aa 55 0D0a   # trailing comment\r\n"
                                   "10 hangup\n"
                                   "20 power battery\n"
                                   "30 power mains\n"
                                   "40 backlight off\n"
                                   "40 backlight on\n",
                                   capture, &error))
      << error;
  EXPECT_TRUE(capture.timed);
  ASSERT_EQ(capture.items.size(), 6u);
  EXPECT_EQ(capture.items[0].bytes, (std::vector<uint8_t>{0xaa, 0x55, 0x0d, 0x0a}));
  EXPECT_EQ(capture.items[0].lineNumber, 4u);
  EXPECT_EQ(capture.items[1].event, CaptureEvent::hangup);
  EXPECT_EQ(capture.items[1].timeUs, 10u);
  EXPECT_EQ(capture.items[2].event, CaptureEvent::power);
  EXPECT_FALSE(capture.items[2].on);
  EXPECT_TRUE(capture.items[3].on);
  EXPECT_EQ(capture.items[4].event, CaptureEvent::backlight);
  EXPECT_FALSE(capture.items[4].on);
  EXPECT_TRUE(capture.items[5].on);
}

TEST(CaptureFormat, RefusesBadLinesByNumber) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"# serialhub capture 2\n", "line 1: a capture version"},
      {"# serialhub capture 1\nx aa\n", "line 2: expected microseconds"},
      {"# serialhub capture 1\n-5 aa\n", "line 2: expected microseconds"},
      {"# serialhub capture 1\n5 a\n", "line 2: expected hex bytes"},
      {"# serialhub capture 1\n5 zz\n", "line 2: expected hex bytes"},
      {"# serialhub capture 1\n5\n", "line 2: expected hex bytes"},
      {"# serialhub capture 1\n5 power on\n", "line 2: expected hex bytes"},
      {"# serialhub capture 1\n5 hangup now\n", "line 2: expected hex bytes"},
      {"# serialhub capture 1\n5 aa\n\n4 bb\n", "line 4: the time goes back"},
      {"aa 55\n0a0\n", "line 2: expected pairs of hex digits"},
  };
  for (const auto& bad : cases) {
    Capture capture;
    std::string error;
    EXPECT_FALSE(shub::client::parseCapture(bad.text, capture, &error)) << bad.text;
    EXPECT_EQ(error.rfind(bad.error, 0), 0u) << bad.text << " gave: " << error;
  }
}

TEST(CaptureFormat, APlainHexDumpIsUntimedOneWriteALine) {
  Capture capture;
  std::string error;
  ASSERT_TRUE(shub::client::parseCapture("# from xxd -p\nfe41100020 00\n\naa44 0100\n", capture, &error)) << error;
  EXPECT_FALSE(capture.timed);
  ASSERT_EQ(capture.items.size(), 2u);
  EXPECT_EQ(capture.items[0].bytes.size(), 6u);
  EXPECT_EQ(capture.items[1].bytes, (std::vector<uint8_t>{0xaa, 0x44, 0x01, 0x00}));
}

TEST(CaptureFormat, WrittenLinesReadBack) {
  const uint8_t bytes[] = {0x00, 0xfe, 0x0a};
  const std::string text = std::string(shub::client::kCaptureHeader) + "\n" + shub::client::readLine(12, bytes, 3) +
                           shub::client::eventLine(13, CaptureEvent::hangup, false) +
                           shub::client::eventLine(14, CaptureEvent::power, true) +
                           shub::client::eventLine(15, CaptureEvent::backlight, false);
  EXPECT_EQ(text, "# serialhub capture 1\n12 00 fe 0a\n13 hangup\n14 power mains\n15 backlight off\n");
  Capture capture;
  std::string error;
  ASSERT_TRUE(shub::client::parseCapture(text, capture, &error)) << error;
  EXPECT_EQ(capture.items.size(), 4u);
}

}  // namespace
