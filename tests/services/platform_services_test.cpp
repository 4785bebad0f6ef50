// The platform pieces under the device services: the BAT1 driver in each of
// its node forms, program start (arguments, descriptors, signal mask,
// reaping), driver activation, the pointer recorder, and the rules of the
// uinput pointer (made at start-up, failures retried at most once a second
// and said once).
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
#include <vector>

#include "platform/device_control.h"
#include "platform/driver_activation.h"
#include "platform/main_loop.h"
#include "platform/pointer.h"
#include "platform/pointer_uinput_internal.h"
#include "platform/process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

using testing_support::DeviceSandbox;
using testing_support::waitUntil;

namespace {

// Byte 0 of a power status answer, or nullopt when the request failed.
std::optional<int> lineStatus() {
  ce::DeviceHandle* battery = ce::openDevice("BAT1:");
  if (battery == nullptr) return std::nullopt;
  const uint32_t request = 1;
  uint8_t answer[56];
  std::memset(answer, 0xEE, sizeof answer);
  uint32_t returned = 0;
  const bool ok = ce::deviceIoControl(battery, ce::kPowerStatusCode, &request, 4, answer, sizeof answer, &returned);
  ce::closeDevice(battery);
  if (!ok) return std::nullopt;
  EXPECT_EQ(returned, 56u);
  return answer[0];
}

TEST(BatteryDriver, SimulatedFileFirstLineIsTheStatus) {
  struct Row {
    const char* contents;
    std::optional<int> status;
  } const rows[] = {
      {"0\n", 0}, {"1", 1}, {" 255 \n", 255}, {"1\nrubbish", 1}, {"256\n", std::nullopt},
      {"-1\n", std::nullopt}, {"", std::nullopt}, {"on\n", std::nullopt}, {"1 1\n", std::nullopt},
      {"0x1\n", std::nullopt},
  };
  DeviceSandbox sandbox;
  sandbox.writeFile("dev/BAT1", "1");
  ce::DeviceHandle* battery = ce::openDevice("bat1:");  // held, read anew at each request
  ASSERT_NE(battery, nullptr);
  for (const Row& row : rows) {
    sandbox.writeFile("dev/BAT1", row.contents);
    const uint32_t request = 1;
    uint8_t answer[56] = {};
    const bool ok = ce::deviceIoControl(battery, ce::kPowerStatusCode, &request, 4, answer, 56, nullptr);
    EXPECT_EQ(ok ? std::optional<int>(answer[0]) : std::nullopt, row.status) << '"' << row.contents << '"';
  }
  ce::closeDevice(battery);
}

TEST(BatteryDriver, RefusesMalformedRequestsWithoutTouchingTheAnswer) {
  DeviceSandbox sandbox;
  sandbox.writeFile("dev/BAT1", "1\n");
  ce::DeviceHandle* battery = ce::openDevice("BAT1:");
  ASSERT_NE(battery, nullptr);
  const uint32_t one = 1, two = 2;
  uint8_t answer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_FALSE(ce::deviceIoControl(battery, ce::kPowerStatusCode, &two, 4, answer, 56, nullptr));
  EXPECT_FALSE(ce::deviceIoControl(battery, ce::kPowerStatusCode, &one, 2, answer, 56, nullptr));
  EXPECT_FALSE(ce::deviceIoControl(battery, ce::kPowerStatusCode, nullptr, 4, answer, 56, nullptr));
  EXPECT_FALSE(ce::deviceIoControl(battery, ce::kPowerStatusCode, &one, 4, answer, 0, nullptr));
  EXPECT_FALSE(ce::deviceIoControl(battery, ce::kBacklightOnCode, &one, 4, answer, 1, nullptr));
  EXPECT_EQ(answer[0], 0xEE);
  // A one-byte answer gets byte 0 and nothing beyond it.
  uint32_t returned = 0;
  EXPECT_TRUE(ce::deviceIoControl(battery, ce::kPowerStatusCode, &one, 4, answer, 1, &returned));
  EXPECT_EQ(returned, 1u);
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(answer[1], 0xEE);
  ce::closeDevice(battery);
}

TEST(BatteryDriver, SysfsSupplyAndSupplyClassDirectories) {
  DeviceSandbox sandbox;
  const std::string supply = sandbox.base() + "/sys/AC0";
  testing_support::writeHostFile(supply + "/online", "0\n");
  std::filesystem::create_directory_symlink(supply, sandbox.root() + "/dev/BAT1");
  EXPECT_EQ(lineStatus(), 0);
  testing_support::writeHostFile(supply + "/online", "1\n");
  EXPECT_EQ(lineStatus(), 1);

  // The class directory: no supply at all counts as mains.
  const std::string supplies = sandbox.base() + "/class";
  std::filesystem::create_directories(supplies);
  std::filesystem::remove(sandbox.root() + "/dev/BAT1");
  std::filesystem::create_directory_symlink(supplies, sandbox.root() + "/dev/BAT1");
  EXPECT_EQ(lineStatus(), 1);
  testing_support::writeHostFile(supplies + "/BAT0/type", "Battery\n");
  testing_support::writeHostFile(supplies + "/BAT0/online", "1\n");
  EXPECT_EQ(lineStatus(), 0) << "a battery is not external power";
  testing_support::writeHostFile(supplies + "/AC/type", "Mains\n");
  testing_support::writeHostFile(supplies + "/AC/online", "0\n");
  testing_support::writeHostFile(supplies + "/usb/type", "USB\n");
  testing_support::writeHostFile(supplies + "/usb/online", "0\n");
  EXPECT_EQ(lineStatus(), 0);
  testing_support::writeHostFile(supplies + "/usb/online", "1\n");
  EXPECT_EQ(lineStatus(), 1);
}

TEST(BatteryDriver, MissingNodeMeansNoDevice) {
  DeviceSandbox sandbox;
  EXPECT_EQ(ce::openDevice("BAT1:"), nullptr);
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
  ASSERT_TRUE(ce::startProgram("\\ResidentFlash2\\korvent\\app\\duskcard.exe", "sleep"));
  const std::string text = waitOutput();
  EXPECT_EQ(text.substr(0, text.find('\n')),
            sandbox.root() + "/ResidentFlash2/Korvent/App/duskcard.exe|1|sleep");
  std::filesystem::remove(out);
  ASSERT_TRUE(ce::startProgram("residentflash2\\korvent\\app\\duskcard.exe", nullptr));
  EXPECT_NE(waitOutput().find("|0|\n"), std::string::npos);
}

TEST_F(StartProgram, InheritsNoDescriptorBeyondTheStandardOnesAndLeavesNoZombie) {
  // ls lists its own descriptors: 0 to 2 as inherited, 3 the listing it reads.
  sandbox.writeFile("residentflash2/fds.exe", "#!/bin/sh\nexec ls -1 /proc/self/fd > " + out + "\n");
  chmod((sandbox.root() + "/residentflash2/fds.exe").c_str(), 0755);
  const int leaky = fcntl(STDERR_FILENO, F_DUPFD, 40);  // deliberately without close-on-exec
  ASSERT_GE(leaky, 40);
  ASSERT_TRUE(ce::startProgram("residentflash2\\fds.exe", nullptr));
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
  ce::blockStopSignals();
  const bool started = ce::startProgram("residentflash2\\mask.exe", nullptr);
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
  EXPECT_FALSE(ce::startProgram("residentflash2\\sleep.exe", nullptr));
  sandbox.writeFile("residentflash2/sleep.exe", "#!/bin/sh\n");  // mode 0644
  EXPECT_FALSE(ce::startProgram("residentflash2\\sleep.exe", nullptr));
  EXPECT_FALSE(ce::startProgram(nullptr, nullptr));
}

TEST(DriverActivation, NeedsTheRegistryKeyAndDeactivatesOnce) {
  DeviceSandbox sandbox;
  EXPECT_EQ(ce::activateDevice("Drivers\\GpsCom2", 0), nullptr);
  std::filesystem::create_directories(sandbox.root() + "/registry/HKEY_LOCAL_MACHINE/drivers/gpscom2");
  ce::ActiveDriver* gps = ce::activateDevice("Drivers\\GpsCom2", 0);
  ASSERT_NE(gps, nullptr);
  EXPECT_TRUE(ce::deactivateDevice(gps));
  EXPECT_FALSE(ce::deactivateDevice(gps));
  ce::closeDriverHandle(gps);
  EXPECT_FALSE(ce::deactivateDevice(nullptr));
}

TEST(PointerSink, SimulatedPointerRecordsEachEventAndOtherNodesDrop) {
  DeviceSandbox sandbox;
  unsetenv("DISPLAY");
  EXPECT_FALSE(ce::injectPointerEvent({0x8003, 1, 2, 0, 0})) << "no node, no display";
  sandbox.writeFile("dev/Pointer", "");
  EXPECT_TRUE(ce::injectPointerEvent({0x8003, 32767, 32767, 0, 0}));
  EXPECT_TRUE(ce::injectPointerEvent({0x8002, 0, -2730, 0, 0}));
  EXPECT_TRUE(ce::injectPointerEvent({0x0004, 0, 0, 0, 0}));
  EXPECT_EQ(sandbox.readFile("dev/Pointer"), "32771 32767 32767 0 0\n32770 0 -2730 0 0\n4 0 0 0 0\n");
  std::filesystem::remove(sandbox.root() + "/dev/Pointer");
  std::filesystem::create_directories(sandbox.root() + "/dev/pointer");
  EXPECT_FALSE(ce::injectPointerEvent({0x8003, 1, 2, 0, 0}));
}

// A uinput backend whose device fails to be made until told otherwise, on a
// clock the test moves.
struct FakeUinput final : ce::detail::UinputBackend {
  int makeError = EACCES;
  bool writesFail = false;
  int makes = 0;
  uint32_t now = 5000;
  std::vector<std::string> said, written;

  int make(const std::string&) override { return ++makes, makeError; }
  void destroy() override { written.push_back("destroy"); }
  bool write(uint16_t type, uint16_t code, int32_t value) override {
    written.push_back(std::to_string(type) + " " + std::to_string(code) + " " + std::to_string(value));
    return !writesFail;
  }
  uint32_t nowMs() override { return now; }
  void say(const std::string& path, int error) override { said.push_back(path + " " + std::strerror(error)); }
};

TEST(UinputPointer, MadeAtPrepareRetriedAtMostOnceASecondAndSaidOncePerFailure) {
  FakeUinput backend;
  ce::detail::UinputPointer pointer(backend);
  const ce::PointerEvent tap{0x8003, 400, 70000, 0, 0};
  EXPECT_FALSE(pointer.prepare("/dev/uinput"));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(pointer.inject("/dev/uinput", tap));
  EXPECT_EQ(backend.makes, 1) << "not tried again at every event";
  backend.now += 999;
  EXPECT_FALSE(pointer.inject("/dev/uinput", tap));
  EXPECT_EQ(backend.makes, 1);
  backend.now += 1;
  EXPECT_FALSE(pointer.inject("/dev/uinput", tap));
  EXPECT_EQ(backend.makes, 2) << "tried again once a second has passed";
  EXPECT_EQ(backend.said, std::vector<std::string>{"/dev/uinput Permission denied"});

  backend.makeError = 0;
  backend.now += 1000;
  EXPECT_TRUE(pointer.inject("/dev/uinput", tap));
  EXPECT_TRUE(pointer.inject("/dev/uinput", {0x0004, 0, 0, 0, 0}));
  EXPECT_EQ(backend.makes, 3) << "kept once made";
  // ABS_X, ABS_Y (clamped), BTN_LEFT down, SYN_REPORT; then BTN_LEFT up, SYN_REPORT.
  EXPECT_EQ(backend.written,
            (std::vector<std::string>{"3 0 400", "3 1 65535", "1 272 1", "0 0 0", "1 272 0", "0 0 0"}));

  // It worked, then a write failed: made anew at a later event (attempts
  // stay one a second at most), and a new failure to make it is said again.
  backend.writesFail = true;
  backend.makeError = ENODEV;
  EXPECT_FALSE(pointer.inject("/dev/uinput", tap));
  EXPECT_EQ(backend.written.back(), "destroy");
  backend.now += 1000;
  EXPECT_FALSE(pointer.inject("/dev/uinput", tap));
  EXPECT_EQ(backend.makes, 4);
  EXPECT_EQ(backend.said.size(), 2u);
  EXPECT_FALSE(pointer.prepare("/dev/uinput"));
  EXPECT_EQ(backend.makes, 4);
}

}  // namespace
