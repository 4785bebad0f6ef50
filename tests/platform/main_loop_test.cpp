// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The main loop with a short tick and the process's own signals: a tick that
// overruns gives one more call and no burst, a stop signal ends the loop, one
// sent before the loop existed ends it at once, and SIGHUP reloads.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "platform/main_loop.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;

namespace {

TEST(MainLoop, OverrunTickGivesOneMoreCallAndSigtermEndsTheLoop) {
  shub::os::blockStopSignals();
  shub::os::MainLoop loop(5ms);
  ASSERT_TRUE(loop.valid());
  int ticks = 0;
  loop.run({.tick = [&] {
    ++ticks;
    // A tick as slow as the sleep sequence, against the period: about a dozen
    // expirations pile up, which must come back as one call.
    if (ticks == 1) testing_support::waitUntil([] { return false; }, 60ms);
    if (ticks == 3) kill(getpid(), SIGTERM);
  }, .reload = {}, .watched = -1, .readable = {}});
  EXPECT_EQ(ticks, 3);
}

TEST(MainLoop, EachStopSignalSentBeforeTheLoopEndsItWithoutATick) {
  shub::os::blockStopSignals();
  for (const int signalNumber : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signalNumber);
    ASSERT_EQ(kill(getpid(), signalNumber), 0);
    shub::os::MainLoop loop(1ms);
    ASSERT_TRUE(loop.valid());
    int ticks = 0;
    loop.run({.tick = [&] { ++ticks; }, .reload = {}, .watched = -1, .readable = {}});
    EXPECT_EQ(ticks, 0);
  }
}

TEST(MainLoop, SighupReloadsAndTheLoopRunsOn) {
  shub::os::blockStopSignals();
  ASSERT_EQ(kill(getpid(), SIGHUP), 0);
  shub::os::MainLoop loop(1ms);
  int reloads = 0;
  loop.run({.tick = [&] { kill(getpid(), SIGTERM); }, .reload = [&] { ++reloads; }, .watched = -1, .readable = {}});
  EXPECT_EQ(reloads, 1);
}

}  // namespace
