// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The device services inside the real serialhub: a sandboxed device with a
// pty as dev/COM7 and simulated pointer, sound, backlight, battery and screen
// nodes. Touch frames become pointer lines, command frames switch the lamp,
// a power loss runs the sleep sequence (with shell scripts standing in for
// the notice and sleep programs, logging argv and a timestamp), and power
// cycles leave the daemon's threads and descriptors where they began. Without
// pointer and screen nodes touches go to a private X server, and keep landing
// after it restarts; a pointer node that is a character device but no uinput
// is tried at start-up and its failure said once.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>

#include "platform/client_objects.h"
#include "tests/support/pty.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"
#include "tests/support/wav_file.h"
#include "tests/support/xvfb_server.h"

using namespace std::chrono_literals;
using testing_support::entriesIn;
using testing_support::lineCount;
using testing_support::waitUntil;

namespace {

constexpr const char* kRoutes =
    "1,fe,,0-0,6,touch\n"      // fe, pen, V (2), X (2)
    "4,aa 44,,0-0,4,control\n";  // aa 44, command, one more byte

int64_t realtimeMs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Children of `parent` that have ended but were never reaped.
size_t zombiesOf(pid_t parent) {
  size_t zombies = 0;
  DIR* proc = opendir("/proc");
  while (const dirent* e = proc ? readdir(proc) : nullptr) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;  // processes only
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    char state = 0;
    pid_t ppid = 0;
    fields >> state >> ppid;
    zombies += ppid == parent && state == 'Z';
  }
  if (proc) closedir(proc);
  return zombies;
}

class DeviceServicesDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
    for (const char* node : {"dev/pointer", "dev/sound", "dev/BKL1"}) sandbox.writeFile(node, "");
    sandbox.writeFile("dev/screen", "800x480\n");
    sandbox.writeFile("dev/BAT1", "1\n");
    sandbox.writeFile("residentflash2/click.wav", testing_support::monoWav(80, 8000));
    log = sandbox.base() + "/programs.log";
    writeScript("ResidentFlash2/korvent/app/duskcard.exe",
                "echo \"$(date +%s%3N) notice $# $* $(tail -n 1 " + sandbox.root() + "/dev/BKL1)\" >> " + log);
    writeScript("residentflash2/sleep.exe", "echo \"$(date +%s%3N) sleep $# $*\" >> " + log);
  }
  void TearDown() override {
    if (started) {
      EXPECT_EQ(daemon.stop(), 0) << "serialhub did not stop cleanly";
    }
  }

  void writeScript(const std::string& path, const std::string& body) {
    sandbox.writeFile(path, "#!/bin/sh\n" + body + "\n");
    chmod((sandbox.root() + "/" + path).c_str(), 0755);
  }

  // Starts serialhub beside the route file and waits for READY=1.
  void start(const char* screenVolume = nullptr) {
    if (screenVolume) sandbox.writeFile("registry/HKEY_CURRENT_USER/ControlPanel/Volume/Screen", screenVolume);
    daemon.writeRoutes(kRoutes);
    started = daemon.start();
    ASSERT_TRUE(started);
    ASSERT_EQ(daemon.nextNotice(), "READY=1") << daemon.stderrText();
  }

  void touch(uint8_t pen, uint16_t v, uint16_t x) {
    pty.send({0xfe, pen, uint8_t(v), uint8_t(v >> 8), uint8_t(x), uint8_t(x >> 8)});
  }
  void command(uint8_t value) { pty.send({0xaa, 0x44, value, 0}); }

  std::string node(const char* name) const { return sandbox.readFile(std::string("dev/") + name); }
  bool waitLines(const char* name, size_t count, std::chrono::milliseconds timeout = 10s) const {
    return waitUntil([&] { return lineCount(node(name)) == count; }, timeout);
  }
  std::string programLog() const { return testing_support::readHostFile(log); }
  std::string maps() const { return daemon.mapsText(); }

  // Sends a touch every 200 ms until the injector answers with a pointer line.
  bool touchUntilInjected(std::chrono::milliseconds timeout = 10s) {
    const size_t before = lineCount(node("pointer"));
    auto next = std::chrono::steady_clock::now();
    return waitUntil([&] {
      if (std::chrono::steady_clock::now() >= next) {
        touch(0, 0, 0);
        next += 200ms;
      }
      return lineCount(node("pointer")) > before;
    }, timeout);
  }

  testing_support::DeviceSandbox sandbox;
  testing_support::PtyPair pty;
  std::string log;
  testing_support::DaemonProcess daemon{sandbox};
  bool started = false;
};

class TapVolume : public DeviceServicesDaemon, public ::testing::WithParamInterface<const char*> {};

TEST_P(TapVolume, TouchFramesBecomePointerLinesWithAClickOnlyWhenScreenIsOne) {
  start(GetParam());
  touch(0x41, 240, 400);
  ASSERT_TRUE(waitLines("pointer", 1));
  touch(0x41, 480, 0);
  ASSERT_TRUE(waitLines("pointer", 2));
  touch(0x61, 240, 400);
  ASSERT_TRUE(waitLines("pointer", 3));
  EXPECT_EQ(node("pointer"), "32771 32767 32767 0 0\n32770 0 0 0 0\n4 0 0 0 0\n");
  const bool clicks = GetParam() != nullptr && std::string(GetParam()) == "1";
  EXPECT_EQ(node("sound"), clicks ? "\\residentflash2\\click.wav\n" : "");
  EXPECT_EQ(maps().find("libevdev"), std::string::npos) << "a recorder needs no libevdev";
  EXPECT_EQ(maps().find("libXtst"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Settings, TapVolume, ::testing::Values("1", "0", nullptr),
                         [](const auto& info) { return std::string(info.param ? info.param : "missing"); });

TEST_F(DeviceServicesDaemon, CommandThreeTogglesTheLampAndADarkScreenDropsTouchesWithAClick) {
  start("0");
  command(3);
  ASSERT_TRUE(waitLines("BKL1", 1));
  EXPECT_EQ(node("BKL1"), "0x321048\n");
  touch(0x41, 240, 400);  // dropped, with the dark-screen click
  ASSERT_TRUE(waitLines("sound", 1));
  EXPECT_EQ(node("pointer"), "");
  std::this_thread::sleep_for(600ms);  // stimulus timing: past the 300 ms command pause
  command(3);
  ASSERT_TRUE(waitLines("BKL1", 2));
  EXPECT_EQ(node("BKL1"), "0x321048\n0x321044\n");
  touch(0x41, 240, 400);
  ASSERT_TRUE(waitLines("pointer", 1));
  EXPECT_EQ(node("pointer"), "32771 32767 32767 0 0\n");
}

TEST_F(DeviceServicesDaemon, PowerLossRunsTheSleepSequenceAndStopsTouchUntilPowerReturns) {
  start("1");
  command(3);  // lamp off: the sequence must switch it on before the notice
  ASSERT_TRUE(waitLines("BKL1", 1));
  const int64_t lost = realtimeMs();
  sandbox.writeFile("dev/BAT1", "0\n");
  ASSERT_TRUE(waitUntil([&] { return lineCount(programLog()) == 2; }, 15s)) << programLog();
  const std::vector<std::string> started = lines(programLog());
  int64_t noticeAt = 0, sleepAt = 0;
  char notice[128] = {}, sleep[128] = {};
  ASSERT_EQ(std::sscanf(started[0].c_str(), "%" SCNd64 " %127[^\n]", &noticeAt, notice), 2);
  ASSERT_EQ(std::sscanf(started[1].c_str(), "%" SCNd64 " %127[^\n]", &sleepAt, sleep), 2);
  EXPECT_STREQ(notice, "notice 1 sleep 0x321044");
  EXPECT_STREQ(sleep, "sleep 0 ");
  EXPECT_GE(noticeAt - lost, 950) << "the notice waits 1000 ms after the tick that saw the loss";
  EXPECT_LE(noticeAt - lost, 6000);
  EXPECT_GE(sleepAt - noticeAt, 1300) << "the sleep program follows the notice by 1500 ms";
  EXPECT_EQ(node("BKL1"), "0x321048\n0x321044\n");

  // The touch injector is stopped: the frame reaches its block and event,
  // and nobody but us consumes the signal.
  shub::os::Event touchEvent = shub::os::Event::open("CRT1:EVENT");
  ASSERT_TRUE(touchEvent.valid());
  touch(0x41, 240, 400);
  EXPECT_EQ(touchEvent.wait(std::chrono::milliseconds(5000)), shub::os::WaitResult::signalled);
  EXPECT_EQ(node("pointer"), "");

  sandbox.writeFile("dev/BAT1", "1\n");
  EXPECT_TRUE(touchUntilInjected());
}

TEST_F(DeviceServicesDaemon, PowerCyclesLeaveThreadsAndDescriptorsWhereTheyBegan) {
  // Each cycle takes up to two ticks and the 2.5 s sequence; eight cycles
  // keep the test near half a minute.
  constexpr size_t kCycles = 8;
  start("1");
  ASSERT_TRUE(touchUntilInjected());
  const std::string proc = "/proc/" + std::to_string(daemon.pid());
  const size_t tasks = entriesIn(proc + "/task");
  const size_t fds = entriesIn(proc + "/fd");
  for (size_t cycle = 1; cycle <= kCycles; ++cycle) {
    sandbox.writeFile("dev/BAT1", "0\n");
    ASSERT_TRUE(waitUntil([&] { return lineCount(programLog()) == 2 * cycle; }, 15s)) << cycle;
    sandbox.writeFile("dev/BAT1", "1\n");
    ASSERT_TRUE(touchUntilInjected()) << cycle;
  }
  EXPECT_TRUE(waitUntil([&] { return entriesIn(proc + "/task") == tasks; }, 5s));
  EXPECT_EQ(entriesIn(proc + "/fd"), fds);
  EXPECT_EQ(zombiesOf(daemon.pid()), 0u);
}

TEST_F(DeviceServicesDaemon, APointerNodeThatIsNoUinputIsTriedBeforeReadyAndSaidOnce) {
  const std::string pointer = sandbox.root() + "/dev/pointer";
  ASSERT_EQ(unlink(pointer.c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", pointer.c_str()), 0);  // a character device, but no uinput
  start("1");
  const std::string said = daemon.stderrText();
  EXPECT_NE(said.find(pointer + ": cannot make the pointer device: "), std::string::npos) << said;
  EXPECT_NE(maps().find("libevdev"), std::string::npos);
  // Each touch clicks after its (dropped) pointer event: pen up and down in
  // turn until a few touches have been handled.
  auto next = std::chrono::steady_clock::now();
  bool down = true;
  ASSERT_TRUE(waitUntil([&] {
    if (std::chrono::steady_clock::now() >= next) {
      touch(down ? 0x41 : 0x61, 240, 400);
      down = !down;
      next += 150ms;
    }
    return lineCount(node("sound")) >= 3;
  }));
  EXPECT_EQ(daemon.stderrText(), said) << "said once, not at every event";
  size_t pointerLines = 0;
  for (const std::string& line : lines(said)) pointerLines += line.find("dev/pointer") != std::string::npos;
  EXPECT_EQ(pointerLines, 1u) << said;
}

class XSessionDaemon : public DeviceServicesDaemon {
 protected:
  // Pen down at pixel (x, y) of the 800x480 screen, every 200 ms, until the
  // core pointer rests there.
  bool tapUntilPointerAt(const std::string& display, int x, int y) {
    Display* observer = XOpenDisplay(display.c_str());
    if (observer == nullptr) return false;
    auto next = std::chrono::steady_clock::now();
    const bool landed = waitUntil([&] {
      if (std::chrono::steady_clock::now() >= next) {
        touch(0x41, uint16_t(480 - y), uint16_t(x));
        next += 200ms;
      }
      ::Window root = 0, child = 0;
      int rootX = -1, rootY = -1, winX = 0, winY = 0;
      unsigned mask = 0;
      XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
      return rootX == x && rootY == y;
    }, 5s);
    XCloseDisplay(observer);
    return landed;
  }
};

TEST_F(XSessionDaemon, TouchesLandAgainAfterTheXServerRestarts) {
  testing_support::XvfbServer server;
  std::string whyNot;
  if (!server.start(whyNot)) GTEST_SKIP() << whyNot;
  for (const char* name : {"dev/pointer", "dev/screen"}) unlink((sandbox.root() + "/" + name).c_str());
  start("0");  // on the server's DISPLAY
  EXPECT_TRUE(tapUntilPointerAt(server.display(), 200, 120));
  ASSERT_TRUE(server.restart(whyNot)) << whyNot;
  EXPECT_TRUE(tapUntilPointerAt(server.display(), 600, 360)) << daemon.stderrText();
  EXPECT_EQ(daemon.alive(), true) << "serialhub ended";
}

}  // namespace
