// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The platform pieces under the device services: the backlight and battery
// nodes in each of their forms, program start (arguments, descriptors, signal
// mask, reaping), the pointer recorder, the uinput pointer's events and the
// pacing of its retries.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "devices/power_watcher.h"
#include "devices/touch_injector.h"
#include "platform/main_loop.h"
#include "platform/pointer.h"
#include "platform/process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

using testing_support::DeviceSandbox;
using testing_support::waitUntil;

namespace {

// Text of a file below the device root; nullopt when there is no such file.
std::optional<std::string> nodeText(const DeviceSandbox& sandbox, const std::string& relative) {
  if (!std::filesystem::exists(sandbox.root() + "/" + relative)) return std::nullopt;
  return sandbox.readFile(relative);
}

// A node of each kind: `file` makes dev/<name> a regular file with that text;
// `linkTo` makes it a link to that directory below the sandbox (in place
// of sysfs), holding `sysfs` files; neither leaves the node missing.
struct NodeKind {
  const char* file;
  const char* linkTo;
  std::vector<std::pair<std::string, std::string>> sysfs;
};

void makeNode(const DeviceSandbox& sandbox, const std::string& name, const NodeKind& kind) {
  if (kind.file != nullptr) sandbox.writeFile("dev/" + name, kind.file);
  if (kind.linkTo == nullptr) return;
  std::filesystem::create_directories(sandbox.base() + "/" + kind.linkTo);
  for (const auto& [path, text] : kind.sysfs) testing_support::writeHostFile(sandbox.base() + "/" + path, text);
  std::filesystem::create_directory_symlink(sandbox.base() + "/" + kind.linkTo, sandbox.root() + "/dev/" + name);
}

TEST(BacklightNode, EachKindOfNodeAfterSwitchingOnThenOff) {
  struct Row {
    const char* legend;
    const char* name;  // of the node in dev/
    NodeKind node;
    const char* watched;  // file below the root that shows the lamp
    bool took;
    const char* afterOn;  // its text, nullptr when it does not exist
    const char* afterOff;
  } const rows[] = {
      {"recording file, name in another case", "bkl1", {"", nullptr, {}}, "dev/bkl1", true, "0x321044\n",
       "0x321044\n0x321048\n"},
      {"sysfs backlight", "BKL1", {nullptr, "bl", {{"bl/bl_power", "4\n"}}}, "dev/BKL1/bl_power", true, "0", "4"},
      {"directory without bl_power", "BKL1", {nullptr, "bl", {}}, "dev/BKL1/bl_power", false, nullptr, nullptr},
      {"missing", "BKL1", {nullptr, nullptr, {}}, "dev/BKL1", false, nullptr, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.legend);
    DeviceSandbox sandbox;
    makeNode(sandbox, row.name, row.node);
    auto expected = [](const char* text) { return text ? std::optional<std::string>(text) : std::nullopt; };
    EXPECT_EQ(shub::devices::switchBacklight(true, "0x321044\n"), row.took);
    EXPECT_EQ(nodeText(sandbox, row.watched), expected(row.afterOn));
    EXPECT_EQ(shub::devices::switchBacklight(false, "0x321048\n"), row.took);
    EXPECT_EQ(nodeText(sandbox, row.watched), expected(row.afterOff));
  }
}

TEST(BatteryNode, EachKindOfNodeGivesTheAcLineStatus) {
  using Supplies = std::vector<std::pair<std::string, std::string>>;
  const Supplies battery = {{"class/BAT0/type", "Battery\n"}, {"class/BAT0/online", "1\n"}};
  Supplies offline = battery;
  offline.insert(offline.end(), {{"class/AC/type", "Mains\n"}, {"class/AC/online", "0\n"},
                                 {"class/usb/type", "USB\n"}, {"class/usb/online", "0\n"}});
  Supplies usbOnline = offline, mainsOnline = offline;
  usbOnline.back().second = "1\n";
  mainsOnline[3].second = "1\n";
  struct Row {
    const char* legend;
    NodeKind node;
    std::optional<int> status;
  } const rows[] = {
      {"missing", {nullptr, nullptr, {}}, std::nullopt},
      {"file 0", {"0\n", nullptr, {}}, 0},
      {"file 1 without newline", {"1", nullptr, {}}, 1},
      {"file, white space around", {" 255 \n", nullptr, {}}, 255},
      {"file, only the first line counts", {"1\nrubbish", nullptr, {}}, 1},
      {"file 256", {"256\n", nullptr, {}}, std::nullopt},
      {"file -1", {"-1\n", nullptr, {}}, std::nullopt},
      {"file empty", {"", nullptr, {}}, std::nullopt},
      {"file, words", {"on\n", nullptr, {}}, std::nullopt},
      {"file, two numbers", {"1 1\n", nullptr, {}}, std::nullopt},
      {"file, hexadecimal", {"0x1\n", nullptr, {}}, std::nullopt},
      {"supply off line", {nullptr, "sys/AC0", {{"sys/AC0/online", "0\n"}}}, 0},
      {"supply on line", {nullptr, "sys/AC0", {{"sys/AC0/online", "1\n"}}}, 1},
      {"class without supplies: mains", {nullptr, "class", {}}, 1},
      {"class, a battery is not external power", {nullptr, "class", battery}, 0},
      {"class, Mains and USB off line", {nullptr, "class", offline}, 0},
      {"class, USB on line", {nullptr, "class", usbOnline}, 1},
      {"class, Mains on line", {nullptr, "class", mainsOnline}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.legend);
    DeviceSandbox sandbox;
    makeNode(sandbox, "Bat1", row.node);
    const std::optional<shub::devices::Battery> found = shub::devices::findBattery();
    EXPECT_EQ(found.has_value(), row.node.file != nullptr || row.node.linkTo != nullptr);
    std::optional<int> status;
    if (found) status = shub::devices::readAcLineStatus(*found);
    EXPECT_EQ(status, row.status);
  }
}

TEST(BatteryNode, FoundOnceAndReadAnewAtEachRequest) {
  DeviceSandbox sandbox;
  sandbox.writeFile("dev/BAT1", "1\n");
  const std::optional<shub::devices::Battery> found = shub::devices::findBattery();
  ASSERT_TRUE(found.has_value());
  sandbox.writeFile("dev/BAT1", "0\n");
  EXPECT_EQ(shub::devices::readAcLineStatus(*found), 0);
  std::filesystem::remove(sandbox.root() + "/dev/BAT1");
  EXPECT_EQ(shub::devices::readAcLineStatus(*found), std::nullopt);
}

// A program that records its arguments and its open descriptors, then says done.
class StartProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    out = sandbox.base() + "/out";
    sandbox.writeFile("ResidentFlash2/Korvent/App/duskcard.exe",
                      "#!/bin/sh\necho \"$0|$#|$*\" > " + out + ".tmp\nmv " + out + ".tmp " + out + "\n");
    chmod((sandbox.root() + "/ResidentFlash2/Korvent/App/duskcard.exe").c_str(), 0755);
  }
  std::string waitOutput() {
    waitUntil([&] { return access(out.c_str(), F_OK) == 0; });
    return testing_support::readHostFile(out);
  }
  DeviceSandbox sandbox;
  std::string out;
};

TEST_F(StartProgram, ArgumentsComeFromTheCommandLineAndArgv0IsTheResolvedPath) {
  ASSERT_TRUE(shub::os::startProgram("\\ResidentFlash2\\korvent\\app\\duskcard.exe", "sleep"));
  const std::string text = waitOutput();
  EXPECT_EQ(text.substr(0, text.find('\n')),
            sandbox.root() + "/ResidentFlash2/Korvent/App/duskcard.exe|1|sleep");
  std::filesystem::remove(out);
  ASSERT_TRUE(shub::os::startProgram("residentflash2\\korvent\\app\\duskcard.exe", nullptr));
  EXPECT_NE(waitOutput().find("|0|\n"), std::string::npos);
}

TEST_F(StartProgram, InheritsNoDescriptorBeyondTheStandardOnesAndLeavesNoZombie) {
  // ls lists its own descriptors: 0 to 2 as inherited, 3 the listing it reads.
  sandbox.writeFile("residentflash2/fds.exe", "#!/bin/sh\nexec ls -1 /proc/self/fd > " + out + "\n");
  chmod((sandbox.root() + "/residentflash2/fds.exe").c_str(), 0755);
  const int leaky = fcntl(STDERR_FILENO, F_DUPFD, 40);  // deliberately without close-on-exec
  ASSERT_GE(leaky, 40);
  ASSERT_TRUE(shub::os::startProgram("residentflash2\\fds.exe", nullptr));
  close(leaky);
  std::string fds;
  EXPECT_TRUE(waitUntil([&] {
    fds = testing_support::readHostFile(out);
    return fds.size() >= 8 && fds.back() == '\n';
  }));
  EXPECT_EQ(fds, "0\n1\n2\n3\n");
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child is left to reap";
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(StartProgram, StartsWithNoSignalBlockedThoughTheDaemonBlocksItsStopSignals) {
  sandbox.writeFile("residentflash2/mask.exe", "#!/bin/sh\nexec grep SigBlk /proc/self/status > " + out + "\n");
  chmod((sandbox.root() + "/residentflash2/mask.exe").c_str(), 0755);
  sigset_t before;
  sigprocmask(SIG_SETMASK, nullptr, &before);
  shub::os::blockStopSignals();
  const bool started = shub::os::startProgram("residentflash2\\mask.exe", nullptr);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  ASSERT_TRUE(started);
  std::string mask;
  EXPECT_TRUE(waitUntil([&] {
    mask = testing_support::readHostFile(out);
    return !mask.empty() && mask.back() == '\n';
  }));
  EXPECT_EQ(mask, "SigBlk:\t0000000000000000\n");
}

TEST_F(StartProgram, MissingOrNonExecutableProgramsFail) {
  EXPECT_FALSE(shub::os::startProgram("residentflash2\\sleep.exe", nullptr));
  sandbox.writeFile("residentflash2/sleep.exe", "#!/bin/sh\n");  // mode 0644
  EXPECT_FALSE(shub::os::startProgram("residentflash2\\sleep.exe", nullptr));
  EXPECT_FALSE(shub::os::startProgram(nullptr, nullptr));
}

bool inject(const shub::os::PointerEvent& e) { return shub::os::injectPointerEvent(e, shub::devices::pointerRecord(e)); }

TEST(PointerSink, SimulatedPointerRecordsEachEventAndOtherNodesDrop) {
  DeviceSandbox sandbox;
  unsetenv("DISPLAY");
  EXPECT_FALSE(inject({1, 2, {.left = true}})) << "no node, no display";
  sandbox.writeFile("dev/Pointer", "");
  EXPECT_TRUE(inject({32767, 32767, {.left = true}}));
  EXPECT_TRUE(inject({0, -2730, {.left = true}}));
  EXPECT_TRUE(inject({0, 0, {.left = true}}));
  EXPECT_TRUE(inject({0, 0, {.left = false}}));
  EXPECT_EQ(sandbox.readFile("dev/Pointer"), "32771 32767 32767 0 0\n32771 0 -2730 0 0\n32770 0 0 0 0\n4 0 0 0 0\n");
  std::filesystem::remove(sandbox.root() + "/dev/Pointer");
  std::filesystem::create_directories(sandbox.root() + "/dev/pointer");
  EXPECT_FALSE(inject({1, 2, {.left = true}}));
}

// The rule that paces retries of the uinput mouse and the X connection, on a
// clock the test moves: at most one attempt a second at the same target, at
// once at another, and a failure said once until an attempt succeeds, after
// which a loss is retried at once.
TEST(RetryGate, OneAttemptASecondPerTargetAndOneWordPerOutage) {
  shub::os::detail::RetryGate gate;
  struct Step {
    const char* target;
    int now;  // ms
    bool due;
  } steps[] = {
      {"/dev/uinput", 5000, true},  {"/dev/uinput", 5000, false}, {"/dev/uinput", 5999, false},
      {"/dev/uinput", 6000, true},  {"/dev/other", 6001, true},   {"/dev/uinput", 6002, true},
      {"/dev/uinput", 6500, false}, {"/dev/uinput", 7002, true},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(gate.due(step.target, std::chrono::steady_clock::time_point(std::chrono::milliseconds(step.now))),
              step.due) << step.target << " at " << step.now;
  }
  EXPECT_TRUE(gate.failures.allow());
  EXPECT_FALSE(gate.failures.allow());
  gate.succeeded();
  EXPECT_TRUE(gate.due("/dev/uinput", std::chrono::steady_clock::time_point(std::chrono::milliseconds(7003))));
  EXPECT_TRUE(gate.failures.allow()) << "a new outage is said again";
}

TEST(UinputPointer, EachEventIsAbsoluteMotionAndButtonOneThenSynReport) {
  using E = shub::os::detail::InputEvent;
  // EV_ABS 3 (ABS_X 0, ABS_Y 1), EV_KEY 1 (BTN_LEFT 272), EV_SYN 0.
  EXPECT_EQ(shub::os::detail::uinputEvents({400, 70000, {.left = true}}),
            (std::vector<E>{{3, 0, 400}, {3, 1, 65535}, {1, 272, 1}, {0, 0, 0}}));
  EXPECT_EQ(shub::os::detail::uinputEvents({-5, 0, {.left = true}}),
            (std::vector<E>{{3, 0, 0}, {3, 1, 0}, {1, 272, 1}, {0, 0, 0}}));
  EXPECT_EQ(shub::os::detail::uinputEvents({0, 0, {.left = true}}), (std::vector<E>{{1, 272, 1}, {0, 0, 0}}))
      << "a press at (0, 0) stays where the pointer is";
  EXPECT_EQ(shub::os::detail::uinputEvents({9, 9, {.left = false}}), (std::vector<E>{{1, 272, 0}, {0, 0, 0}}))
      << "a release does not move the pointer";
}

}  // namespace
