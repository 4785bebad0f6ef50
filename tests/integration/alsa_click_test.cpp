// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The click on ALSA's default PCM of a device without a sound card: the real
// serialhub, no dev/sound node, and an ALSA configuration whose default names a
// card that does not exist, so every open fails the same way on any machine.
// The operator reads one line of ours, however many taps, and none of ALSA's.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/pty.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"
#include "tests/support/wav_file.h"

using namespace std::chrono_literals;
using testing_support::lineCount;
using testing_support::occurrences;

namespace {

TEST(AlsaClick, ANoCardFailureIsSaidOnceInOurWordsAndAlsaStaysQuiet) {
  testing_support::DeviceSandbox sandbox;
  testing_support::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
  sandbox.writeFile("dev/pointer", "");
  sandbox.writeFile("dev/screen", "800x480\n");
  sandbox.writeFile("dev/BAT1", "1\n");
  sandbox.writeFile("residentflash2/click.wav", testing_support::monoWav(80, 8000));
  sandbox.writeFile("registry/HKEY_CURRENT_USER/ControlPanel/Volume/Screen", "1");
  const std::string alsaConfig = sandbox.base() + "/alsa.conf";
  testing_support::writeHostFile(alsaConfig, "pcm.!default { type hw card nosuchcard }\n");

  testing_support::DaemonProcess daemon{sandbox};
  daemon.writeRoutes("1,fe,,0-0,6,touch\n");
  daemon.addEnvironment("ALSA_CONFIG_PATH=" + alsaConfig);
  ASSERT_TRUE(daemon.startReady()) << daemon.stderrText();

  // Pen down and up in turn, each down a click, until ours is said and three
  // clicks have been asked for.
  const std::string ours = "sound (ALSA's default PCM): cannot be opened: ";
  auto next = std::chrono::steady_clock::now();
  bool down = true;
  EXPECT_TRUE(testing_support::waitUntil([&] {
    if (std::chrono::steady_clock::now() >= next) {
      pty.send({0xfe, uint8_t(down ? 0x41 : 0x61), 240, 0, 144, 1});
      down = !down;
      next += 150ms;
    }
    return occurrences(daemon.stderrText(), ours) > 0 && lineCount(sandbox.readFile("dev/pointer")) >= 6;
  }));
  ASSERT_EQ(daemon.stop(), 0);  // joins the last player: every click has been tried
  const std::string said = daemon.stderrText();
  EXPECT_EQ(occurrences(said, ours), 1u) << said;
  EXPECT_EQ(occurrences(said, "ALSA lib"), 0u) << said;
}

}  // namespace
