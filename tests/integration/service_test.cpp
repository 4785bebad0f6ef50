// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// serialhub under a service manager: a start-up it refuses says why on stderr,
// exits non-zero without READY=1 and creates nothing; a running one feeds the
// watchdog and keeps the manager's variables from the programs it starts.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/pty.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

using testing_support::DaemonProcess;
using testing_support::DeviceSandbox;
using namespace std::chrono_literals;

TEST(ServiceStartup, ARefusedStartSaysWhyExitsNonZeroAndCreatesNothing) {
  struct Case {
    const char* legend;
    std::function<void(DeviceSandbox&, DaemonProcess&)> prepare;
    const char* said;
  };
  const std::string routes = "3,aa 55,,0-0,6,fixed\n";
  const Case cases[] = {
      {"no route file", [](DeviceSandbox&, DaemonProcess&) {}, "ctl_rt.st: no route file beside the program"},
      {"a route file that is a directory",
       [](DeviceSandbox&, DaemonProcess& d) { std::filesystem::create_directory(d.folder() + "/ctl_rt.st"); },
       "ctl_rt.st: is a directory"},
      {"--routes naming a missing file",
       [&](DeviceSandbox& s, DaemonProcess& d) {
         d.writeRoutes(routes);
         d.addArgument("--routes=" + s.base() + "/none.st");
       },
       "none.st: cannot be read: No such file or directory"},
      {"an objects directory others can write",
       [&](DeviceSandbox& s, DaemonProcess& d) {
         d.writeRoutes(routes);
         chmod(s.objects().c_str(), 0777);
       },
       "objects: writable by others"},
      {"an objects directory below a file",
       [&](DeviceSandbox& s, DaemonProcess& d) {
         d.writeRoutes(routes);
         testing_support::writeHostFile(s.base() + "/file", "");
         d.addEnvironment("CE_OBJECTS=" + s.base() + "/file/objects");
       },
       "file/objects: Not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    DeviceSandbox sandbox;
    DaemonProcess daemon(sandbox);
    c.prepare(sandbox, daemon);
    ASSERT_TRUE(daemon.start());
    EXPECT_EQ(daemon.waitExit(5s), 78);
    EXPECT_EQ(daemon.nextNotice(0ms, true), "");
    const std::string said = daemon.stderrText();
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_NE(said.find("serialhub: "), std::string::npos) << said;
    EXPECT_FALSE(std::filesystem::exists(sandbox.objects() + "/CRT3")) << "nothing is created";
  }
}

// A route file the parser takes but that leaves a channel dead is warned
// about at load, by the checker crtctl routes uses, at the journal's warning
// priority; stdout holds only what a refused line prints, so nothing here.
TEST(ServiceStartup, ARouteFileThatIsLegalButWrongIsWarnedAboutAtLoad) {
  DeviceSandbox sandbox;
  DaemonProcess daemon(sandbox);
  daemon.writeRoutes("1,FE,,0-0,6,touch\n3,aa 55,,0-0,6,first\n3,aa 56,,0-0,6,second\n");
  testing_support::writeHostFile(sandbox.base() + "/serialhub.err", "");
  struct stat err {};
  ASSERT_EQ(stat((sandbox.base() + "/serialhub.err").c_str(), &err), 0);
  daemon.addEnvironment("JOURNAL_STREAM=" + std::to_string(err.st_dev) + ":" + std::to_string(err.st_ino));
  ASSERT_TRUE(daemon.startReady());
  const std::string said = daemon.stderrText();
  const std::string file = daemon.folder() + "/ctl_rt.st";
  for (const std::string& warning :
       {file + ":1: warning: header token FE reads as 75: only 0-9 and lower-case a-f are hex digits",
        file + ":3: warning: entry 2 shares CRT3 with entry 1 (line 2): one block and one event"}) {
    EXPECT_EQ(testing_support::occurrences(said, "<4>serialhub: " + warning + "\n"), 1u) << said;
  }
  EXPECT_EQ(daemon.stdoutText(), "");
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(ServiceRunning, FeedsTheWatchdogAndKeepsTheManagersVariablesToItself) {
  DeviceSandbox sandbox;
  DaemonProcess daemon(sandbox);
  daemon.writeRoutes("3,aa 55,,0-0,6,fixed\n");
  sandbox.writeFile("dev/BAT1", "0\n");  // no mains: the sleep notice starts at the first tick
  const std::string environment = sandbox.base() + "/notice.env";
  const std::string notice = "ResidentFlash2/korvent/app/duskcard.exe";
  sandbox.writeFile(notice, "#!/bin/sh\nenv > " + environment + "\n");
  chmod((sandbox.root() + "/" + notice).c_str(), 0755);
  daemon.addEnvironment("WATCHDOG_USEC=3000000");
  ASSERT_TRUE(daemon.startReady());

  bool fed = false, onBattery = false;
  ASSERT_TRUE(testing_support::waitUntil([&] {
    const std::string notice = daemon.nextNotice(100ms, true);
    fed |= notice == "WATCHDOG=1";
    onBattery |= notice.find("STATUS=") == 0 && notice.find("on battery") != std::string::npos;
    return fed && onBattery;
  }, 10s));
  ASSERT_TRUE(testing_support::waitUntil([&] { return !testing_support::readHostFile(environment).empty(); }));
  const std::string inherited = testing_support::readHostFile(environment);
  EXPECT_EQ(inherited.find("NOTIFY_SOCKET="), std::string::npos) << inherited;
  EXPECT_EQ(inherited.find("WATCHDOG_USEC="), std::string::npos) << inherited;
  EXPECT_NE(inherited.find("CE_ROOT="), std::string::npos) << "the rest is inherited";
  const std::string said = daemon.stderrText();
  EXPECT_NE(said.find("AC power lost"), std::string::npos) << said;
  EXPECT_NE(said.find("started \\ResidentFlash2\\korvent\\app\\duskcard.exe sleep"), std::string::npos) << said;
}

// A session an operator could read back: each change of state is one line,
// however many retries and ticks lie between.
TEST(ServiceRunning, SaysEachChangeOfPortAndPowerOnce) {
  DeviceSandbox sandbox;
  DaemonProcess daemon(sandbox);
  daemon.writeRoutes("3,aa 55,,0-0,6,fixed\n");
  sandbox.writeFile("dev/BAT1", "1\n");
  daemon.addArgument("-v");
  ASSERT_TRUE(daemon.startReady());
  const auto said = [&](const std::string& what) { return testing_support::occurrences(daemon.stderrText(), what); };
  const auto sayOnce = [&](const std::string& what) {
    return testing_support::waitUntil([&] { return said(what) >= 1; }) && said(what) == 1;
  };
  EXPECT_TRUE(sayOnce("no node COM7"));

  testing_support::PtyPair pty;
  ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
  EXPECT_TRUE(sayOnce("): opened"));
  pty.closeMaster();
  EXPECT_TRUE(sayOnce("COM7: hung up"));
  testing_support::PtyPair replugged;
  ASSERT_TRUE(replugged.linkAs(sandbox.root() + "/dev/COM7"));
  ASSERT_TRUE(testing_support::waitUntil([&] { return said("): opened") == 2; }));
  replugged.send({0xAA, 0x55, 1, 2, 3, 4});
  EXPECT_TRUE(sayOnce("CRT3: aa 55 01 02 03 04")) << "-v says every frame";

  sandbox.writeFile("dev/BAT1", "0\n");
  EXPECT_TRUE(sayOnce("AC power lost"));
  sandbox.writeFile("dev/BAT1", "1\n");
  EXPECT_TRUE(sayOnce("AC power restored"));
  EXPECT_EQ(said("no node COM7"), 1u) << daemon.stderrText();
  EXPECT_EQ(daemon.stop(), 0);
}
