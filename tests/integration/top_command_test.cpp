// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl top --once against the real serialhub fed through a pty: the
// screen's layout with the port, the counters and each entry's last frame;
// the port's state after a hang-up; and that looking takes no frame's signal
// from its consumer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <serialhub/channel.h>

#include "client/tool.h"
#include "tests/support/pty.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/test_channel.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

namespace {

using testing_support::waitUntil;

std::string topOnce() {
  const std::vector<std::string_view> args = {"top", "--once"};
  FILE* out = std::tmpfile();
  EXPECT_EQ(shub::client::runTool(args, out, stderr, nullptr), shub::client::kExitOk);
  const std::string text = testing_support::readAll(out);
  std::fclose(out);
  return text;
}

bool statsSay(const std::function<bool(const shub_status&)>& condition) {
  return waitUntil([&] {
    shub_status status;
    return shub_stats(&status) == 0 && condition(status);
  });
}

TEST(TopCommand, OnceShowsThePortTheCountersAndEachLastFrame) {
  testing_support::DeviceSandbox sandbox;
  testing_support::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
  testing_support::DaemonProcess daemon{sandbox};
  daemon.writeRoutes("3,aa 55,,0-0,6,fixed\n2,aa 33,,1-0,0,text\n");
  ASSERT_TRUE(daemon.start());
  ASSERT_EQ(daemon.nextNotice(), "READY=1");

  pty.send({0x00, 0x13, 0xAA, 0x55, 1, 2, 3, 4, 0xAA, 0x33, 'h', 'i', '\r', '\n'});
  ASSERT_TRUE(statsSay([](const shub_status& s) { return s.entries[0].frames == 1 && s.entries[1].frames == 1; }));

  const std::string screen = topOnce();
  EXPECT_EQ(screen.substr(0, screen.find('\n') + 1), "serialhub running   COM7 open   opens 1   hang-ups 0\n");
  for (const char* line : {"noise 2 bytes   dark drops 0   overlong 0\n",
                           "\nentry  channel      frames  frames/s  len  last frame\n"
                           "0      CRT3              1         -    6  aa 55 01 02 03 04\n"
                           "1      CRT2              1         -    6  aa 33 68 69 0d 0a\n"}) {
    EXPECT_NE(screen.find(line), std::string::npos) << "missing:\n" << line << "in:\n" << screen;
  }
  testing_support::TestChannel consumer("CRT3", testing_support::TestChannel::Event::open);
  EXPECT_TRUE(consumer.pending()) << "the frame's signal is still the consumer's";

  pty.closeMaster();
  ASSERT_TRUE(statsSay([](const shub_status& s) { return s.hangups == 1; }));
  const std::string after = topOnce();
  EXPECT_EQ(after.substr(0, after.find('\n') + 1), "serialhub running   COM7 waiting   opens 1   hang-ups 1\n");
  EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
