// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Named blocks, events and mutexes as other processes see them: the file
// formats, creation that keeps what exists, refusal of names and files that
// are not objects, and the auto-reset rule across two real processes.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "platform/named_objects.h"
#include "platform/paths.h"
#include "tests/platform/peer.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using platform_test::finishPeer;
using platform_test::startPeer;
using testing_support::DeviceSandbox;

constexpr uint32_t kBlockSize = 288;

// Sets the umask for one test, so that modes show what the code asked for.
class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : saved_(umask(mask)) {}
  ~UmaskGuard() { umask(saved_); }

 private:
  mode_t saved_;
};

mode_t modeOf(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

std::string blockText(uint8_t* bytes) {
  uint32_t length = 0;
  std::memcpy(&length, bytes, sizeof length);
  if (length > 260) return "<bad length>";
  return std::string(reinterpret_cast<char*>(bytes) + 8, length);
}

TEST(NamedBlock, NewBlockIsZeroFilledSharedAndGroupWritableWhateverTheUmask) {
  DeviceSandbox sandbox;
  UmaskGuard usualMask(022);
  shub::os::Block block = shub::os::openOrCreateBlock("CRT1", kBlockSize);
  ASSERT_TRUE(block.valid());
  uint8_t* bytes = block.data();
  ASSERT_NE(bytes, nullptr);
  for (uint32_t i = 0; i < kBlockSize; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;

  shub::os::Block second = shub::os::openOrCreateBlock("CRT1", kBlockSize);
  uint8_t* view = second.data();
  ASSERT_NE(view, nullptr);
  bytes[287] = 0x5A;
  EXPECT_EQ(view[287], 0x5A) << "two maps of one name must share bytes";

  EXPECT_EQ(modeOf(sandbox.objects() + "/CRT1"), 0660u);
  EXPECT_EQ(fs::file_size(sandbox.objects() + "/CRT1"), kBlockSize);
  for (const auto& entry : fs::directory_iterator(sandbox.objects())) {
    EXPECT_EQ(entry.path().filename(), "CRT1") << "creation left a file behind";
  }
}

TEST(NamedBlock, ExistingBlockKeepsItsContents) {
  DeviceSandbox sandbox;
  shub::os::Block block = shub::os::openOrCreateBlock("CRT:WRITE", kBlockSize);
  uint8_t* bytes = block.data();
  ASSERT_NE(bytes, nullptr);
  std::memcpy(bytes + 8, "kept", 4);

  block = shub::os::openOrCreateBlock("CRT:WRITE", kBlockSize);
  bytes = block.data();
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes) + 8, 4), "kept");
}

TEST(NamedBlock, FileOfAnotherSizeIsNotABlock) {
  DeviceSandbox sandbox;
  testing_support::writeHostFile(sandbox.objects() + "/SHORT", std::string(100, 'x'));
  testing_support::writeHostFile(sandbox.objects() + "/LONG", std::string(kBlockSize + 1, 'x'));
  testing_support::writeHostFile(sandbox.objects() + "/EMPTY", "");
  for (const char* name : {"SHORT", "LONG", "EMPTY"}) {
    EXPECT_FALSE(shub::os::openOrCreateBlock(name, kBlockSize).valid()) << name;
  }
  EXPECT_EQ(fs::file_size(sandbox.objects() + "/SHORT"), 100u) << "a refused file must stay untouched";
  fs::create_directories(sandbox.objects() + "/DIR");
  EXPECT_FALSE(shub::os::openOrCreateBlock("DIR", kBlockSize).valid());
  EXPECT_FALSE(shub::os::openOrCreateBlock("ZERO", 0).valid());
}

TEST(NamedObjects, UnusableNamesAreRefused) {
  DeviceSandbox sandbox;
  for (const char* name : {"", "a/b", "/", "CRT1/", ".", ".."}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(shub::os::openOrCreateBlock(name, kBlockSize).valid());
    EXPECT_FALSE(shub::os::Event::create(name).valid());
    EXPECT_FALSE(shub::os::Event::open(name).valid());
    const shub::os::InstanceLock lock(name);
    EXPECT_FALSE(lock.valid());
    EXPECT_FALSE(lock.heldElsewhere());
  }
  EXPECT_FALSE(shub::os::openOrCreateBlock(std::string_view("CRT1\0x", 6), kBlockSize).valid());
  EXPECT_FALSE(fs::exists(sandbox.objects() + "/a")) << "a name must never reach outside the object folder";
}

TEST(NamedEvent, FileLayoutIsStateThenMagic) {
  DeviceSandbox sandbox;
  UmaskGuard noMask(0);
  shub::os::Event event = shub::os::Event::create("CRT4:EVENT");
  ASSERT_TRUE(event.valid());
  const std::string path = sandbox.objects() + "/CRT4:EVENT";
  EXPECT_EQ(testing_support::readHostFile(path), std::string("\0\0\0\0EVNT", 8));
  event.signal();
  EXPECT_EQ(testing_support::readHostFile(path), std::string("\1\0\0\0EVNT", 8));
  EXPECT_EQ(modeOf(path), 0660u);
}

TEST(NamedEvent, OpenFindsOnlyRealEvents) {
  DeviceSandbox sandbox;
  EXPECT_FALSE(shub::os::Event::open("CRT1:EVENT").valid()) << "missing";
  testing_support::writeHostFile(sandbox.objects() + "/ZEROS", std::string(8, '\0'));
  testing_support::writeHostFile(sandbox.objects() + "/SHORT", std::string("\0\0\0\0EVN", 7));
  testing_support::writeHostFile(sandbox.objects() + "/LONG", std::string("\0\0\0\0EVNT\0", 9));
  for (const char* name : {"ZEROS", "SHORT", "LONG"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(shub::os::Event::open(name).valid());
    EXPECT_FALSE(shub::os::Event::create(name).valid()) << "create must not adopt a foreign file";
  }
  EXPECT_EQ(testing_support::readHostFile(sandbox.objects() + "/ZEROS"), std::string(8, '\0'));
}

TEST(NamedEvent, AutoResetAndKeptState) {
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("E");
  ASSERT_TRUE(event.valid());
  event.signal();
  event = shub::os::Event::create("E");  // exists: keeps its signal
  EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::signalled);
  EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout) << "a satisfied wait consumes the signal";
  event.signal();
  event.clear();
  EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout) << "reset clears a pending signal";

  shub::os::Event none;
  none.signal();
  none.clear();
  EXPECT_EQ(none.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::failed);
}

TEST(NamedEvent, TimedWaitEndsOnTime) {
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("T");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(event.wait(std::chrono::milliseconds(150)), shub::os::WaitResult::timeout);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(150));
  EXPECT_LT(elapsed, std::chrono::milliseconds(150 + 2000));
}

TEST(CrossProcess, FrameWrittenByOneIsReadByTheOther) {
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("CRT7:EVENT");
  auto writer = startPeer({"write", "CRT7", "hello frame"});
  ASSERT_EQ(event.wait(std::chrono::milliseconds(20000)), shub::os::WaitResult::signalled);
  EXPECT_EQ(finishPeer(writer), 0);
  shub::os::Block block = shub::os::openOrCreateBlock("CRT7", kBlockSize);
  uint8_t* bytes = block.data();
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(blockText(bytes), "hello frame");

  // The other way round.
  const uint32_t length = 5;
  std::memcpy(bytes + 8, "reply", length);
  std::memcpy(bytes, &length, sizeof length);
  auto reader = startPeer({"expect", "CRT7", "reply"});
  EXPECT_EQ(finishPeer(reader), 0);
}

TEST(CrossProcess, TwoSetsBeforeAWaitGiveOneWake) {
  DeviceSandbox sandbox;
  shub::os::Event event = shub::os::Event::create("CRT1:EVENT");
  auto setter = startPeer({"set", "CRT1:EVENT", "2"});
  ASSERT_EQ(finishPeer(setter), 0);
  EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::signalled);
  EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout);

  auto waiter = startPeer({"wait", "CRT1:EVENT", "20000"});
  ASSERT_TRUE(testing_support::waitUntil([&] { return platform_test::asleepOnFutex(waiter.pid, waiter.pid); }));
  event.signal();
  EXPECT_EQ(finishPeer(waiter), 0) << "the waiting process must wake with the signal";
  EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout) << "and consume it";

  auto missing = startPeer({"wait", "NO:EVENT", "0"});
  EXPECT_EQ(finishPeer(missing), 3);
}

TEST(CrossProcess, MutexNameExistsOnlyWhileALiveProcessHoldsIt) {
  DeviceSandbox sandbox;
  const char* name = "GUID_SLEEP_20130830";
  auto mine = std::make_optional<shub::os::InstanceLock>(name);
  ASSERT_TRUE(mine->valid());
  EXPECT_FALSE(mine->heldElsewhere());
  EXPECT_TRUE(shub::os::InstanceLock(name).heldElsewhere()) << "a second holder in this process counts too";
  auto other = startPeer({"mutex", name});
  EXPECT_EQ(platform_test::readPeerLine(other), "1");
  mine.reset();
  EXPECT_EQ(finishPeer(other), 0);

  // A holder that dies without closing leaves the file but not the name.
  auto crashing = startPeer({"mutex", name});
  EXPECT_EQ(platform_test::readPeerLine(crashing), "0");
  EXPECT_TRUE(shub::os::InstanceLock(name).heldElsewhere());
  kill(crashing.pid, SIGKILL);
  EXPECT_EQ(finishPeer(crashing), std::nullopt);
  EXPECT_TRUE(fs::exists(sandbox.objects() + "/" + name));
  EXPECT_EQ(std::distance(fs::directory_iterator(sandbox.objects()), {}), 1) << "nothing but the name's file";
  const shub::os::InstanceLock last(name);
  ASSERT_TRUE(last.valid());
  EXPECT_FALSE(last.heldElsewhere());
}

}  // namespace
