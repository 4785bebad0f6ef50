// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The backlight switch and the key click against simulated devices in a
// private device root: BKL1 and the sound node as recording files (with the
// sound module's clock in the test's hand), and once the real ALSA path
// through ALSA's own file plugin.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "devices/backlight_click.h"
#include "platform/sound.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"
#include "tests/support/wav_file.h"

using namespace shub::devices;

namespace {

using testing_support::DeviceSandbox;
using testing_support::monoWav;

std::atomic<uint64_t> fakeNowMs{0};
uint64_t fakeClock() { return fakeNowMs.load(); }

const std::string kClickLine = "\\residentflash2\\click.wav\n";

RealLampAndSpeaker device;

TEST(Backlight, SimulatedDeviceRecordsCodes) {
  DeviceSandbox sandbox;
  sandbox.writeFile("dev/bkl1", "");  // found without regard to case
  Backlight backlight{device};
  backlight.turn(false);
  backlight.turn(true);
  backlight.turn(true);
  backlight.assume(false);  // no code
  EXPECT_EQ(sandbox.readFile("dev/bkl1"), "0x321048\n0x321044\n0x321044\n");
  EXPECT_FALSE(backlight.on());
}

TEST(Backlight, MissingDeviceKeepsTheRecordAndCreatesNothing) {
  DeviceSandbox sandbox;
  Backlight backlight{device};
  backlight.turn(false);
  EXPECT_FALSE(backlight.on());
  EXPECT_TRUE(std::filesystem::is_empty(sandbox.root() + "/dev"));
}

// Simulated sound: a click counts as playing for frames / rate, by the clock
// the test holds, so nothing here waits on real time.
class SimulatedSound : public testing::Test {
 protected:
  void SetUp() override {
    // Far beyond whatever an earlier test in this process left playing.
    fakeNowMs.store(fakeNowMs.load() + 1'000'000'000);
    shub::os::setSoundClock(fakeClock);
    sandbox_.writeFile("dev/sound", "");
  }
  void TearDown() override { shub::os::setSoundClock(nullptr); }
  void click(int32_t kind) { backlight.keyClick(kind); }
  void advance(uint64_t ms) { fakeNowMs.store(fakeNowMs.load() + ms); }
  std::string played() const { return sandbox_.readFile("dev/sound"); }
  std::string lines(int count) const {
    std::string out;
    for (int i = 0; i < count; ++i) out += kClickLine;
    return out;
  }

  DeviceSandbox sandbox_;
  Backlight backlight{device};
};

TEST_F(SimulatedSound, KeyClickPlaysOnlyForKindsOneAndTwo) {
  sandbox_.writeFile("residentflash2/click.wav", monoWav(80, 8000));  // 10 ms
  for (int32_t kind : {0, 3, -1, 100}) click(kind);
  EXPECT_EQ(played(), "");
  click(1);
  advance(10);
  click(2);
  EXPECT_EQ(played(), lines(2));
}

TEST_F(SimulatedSound, NoStopDropsClicksWhileOnePlays) {
  sandbox_.writeFile("ResidentFlash2/Click.WAV", monoWav(8000, 8000));  // 1000 ms, found regardless of case
  fakeNowMs.store((fakeNowMs.load() | 0xFFFF'FFFFull) - 499);  // the sound spans the millisecond tick's wrap
  click(1);
  advance(999);
  click(2);
  EXPECT_EQ(played(), lines(1)) << "dropped while the first still plays";
  advance(1);
  click(2);
  EXPECT_EQ(played(), lines(2));
}

TEST_F(SimulatedSound, ChangedFileIsDecodedAgain) {
  sandbox_.writeFile("residentflash2/click.wav", monoWav(8000, 8000));  // 1000 ms
  click(1);
  advance(1000);
  sandbox_.writeFile("residentflash2/click.wav", monoWav(800, 8000));  // 100 ms, another size
  click(1);
  advance(99);
  click(1);
  EXPECT_EQ(played(), lines(2));
  advance(1);
  click(1);
  EXPECT_EQ(played(), lines(3)) << "the new, shorter sound's length counts";
}

TEST_F(SimulatedSound, MissingOrUndecodableFilePlaysNothing) {
  click(1);
  EXPECT_EQ(played(), "");
  sandbox_.writeFile("residentflash2/click.wav", "RIFF\x10\0\0\0WAVEjunkjunk");
  click(1);
  EXPECT_EQ(played(), "");
  sandbox_.writeFile("residentflash2/click.wav", monoWav(0, 8000));  // no frames
  click(2);
  EXPECT_EQ(played(), "");
  sandbox_.writeFile("residentflash2/click.wav", monoWav(80, 8000));
  click(1);
  EXPECT_EQ(played(), lines(1)) << "nothing counted as playing before";
}

// The real player through ALSA's file plugin: "default" is pointed at a null
// sink that also writes every frame it is given into a raw file.
TEST(AlsaSound, PlaysOnDefaultPcm) {
  DeviceSandbox sandbox;
  const std::string raw = sandbox.base() + "/out.raw";
  const std::string config = sandbox.base() + "/asound.conf";
  testing_support::writeHostFile(config, "pcm.!default {\n  type file\n  slave { pcm { type null } }\n  file \"" +
                                             raw + "\"\n  format \"raw\"\n}\n");
  const char* saved = std::getenv("ALSA_CONFIG_PATH");
  const std::string savedValue = saved != nullptr ? saved : "";
  setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
  const std::string sound = monoWav(800, 8000);
  sandbox.writeFile("residentflash2/click.wav", sound);
  Backlight(device).keyClick(1);
  std::string written;
  testing_support::waitUntil([&] { return (written = testing_support::readHostFile(raw)).size() >= sound.size() - 44; });
  if (saved != nullptr) setenv("ALSA_CONFIG_PATH", savedValue.c_str(), 1); else unsetenv("ALSA_CONFIG_PATH");
  if (written.empty()) GTEST_SKIP() << "ALSA's file plugin wrote nothing here (no pcm_file/pcm_null in libasound?)";
  EXPECT_EQ(written, sound.substr(44)) << "the samples reach the PCM unchanged";
}

}  // namespace
