// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// serialhub built without X and without sound, over a pty: taps with no
// pointer node are dropped, and clicks stay silent, each said once on stderr.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/pty.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"
#include "tests/support/wav_file.h"

namespace {

using testing_support::occurrences;

TEST(WithoutXOrSound, TapsAreDroppedAndEachLossIsSaidOnce) {
  testing_support::DeviceSandbox sandbox;
  testing_support::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
  sandbox.writeFile("dev/sound", "");
  sandbox.writeFile("dev/screen", "800x480\n");
  sandbox.writeFile("dev/BAT1", "1\n");
  sandbox.writeFile("residentflash2/click.wav", testing_support::monoWav(80, 8000));
  sandbox.writeFile("registry/HKEY_CURRENT_USER/ControlPanel/Volume/Screen", "1");
  testing_support::DaemonProcess daemon{sandbox};
  daemon.writeRoutes("1,fe,,0-0,6,touch\n4,aa 44,,0-0,4,control\n");
  ASSERT_TRUE(daemon.startReady()) << daemon.stderrText();

  const std::vector<uint8_t> press = {0xfe, 0x41, 240, 0, 144, 1}, lift = {0xfe, 0x61, 240, 0, 144, 1};
  const auto said = [&](const char* what) {
    return testing_support::waitUntil([&] { return occurrences(daemon.stderrText(), what) > 0; },
                                      std::chrono::seconds(1));
  };
  ASSERT_TRUE(pty.resendUntil(press, [&] { return said("touches are dropped"); })) << daemon.stderrText();
  pty.send(lift);
  pty.send(press);
  // A recording pointer node from now on: each event handled shows as a line.
  sandbox.writeFile("dev/pointer", "");
  const auto handled = [&](const std::vector<uint8_t>& frame) {
    const size_t before = testing_support::lineCount(sandbox.readFile("dev/pointer"));
    return pty.resendUntil(frame, [&] {
      return testing_support::waitUntil(
          [&] { return testing_support::lineCount(sandbox.readFile("dev/pointer")) > before; },
          std::chrono::seconds(1));
    });
  };
  for (int tap = 0; tap < 3; ++tap) ASSERT_TRUE(handled(lift) && handled(press));  // each press a click
  ASSERT_TRUE(said("plays no sounds"));
  const std::string text = daemon.stderrText();
  EXPECT_EQ(occurrences(text, "touches are dropped"), 1u) << text;
  EXPECT_EQ(occurrences(text, "plays no sounds"), 1u) << text;
  EXPECT_EQ(sandbox.readFile("dev/sound"), "");
  EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
