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

#include "platform/named_block.h"
#include "platform/named_event.h"
#include "platform/named_mutex.h"
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
  ce::NamedBlock block = ce::openOrCreateBlock("CRT1", kBlockSize);
  ASSERT_TRUE(block.valid());
  uint8_t* bytes = ce::mapBlock(block);
  ASSERT_NE(bytes, nullptr);
  for (uint32_t i = 0; i < kBlockSize; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;

  ce::NamedBlock second = ce::openOrCreateBlock("CRT1", kBlockSize);
  uint8_t* view = ce::mapBlock(second);
  ASSERT_NE(view, nullptr);
  bytes[287] = 0x5A;
  EXPECT_EQ(view[287], 0x5A) << "two maps of one name must share bytes";

  EXPECT_EQ(modeOf(sandbox.objects() + "/CRT1"), 0660u);
  EXPECT_EQ(fs::file_size(sandbox.objects() + "/CRT1"), kBlockSize);
  for (const auto& entry : fs::directory_iterator(sandbox.objects())) {
    EXPECT_EQ(entry.path().filename(), "CRT1") << "creation left a file behind";
  }
  ce::unmapBlock(view, kBlockSize);
  ce::unmapBlock(bytes, kBlockSize);
  ce::closeBlock(second);
  ce::closeBlock(block);
  EXPECT_FALSE(block.valid());
  ce::closeBlock(block);  // closing an invalid handle does nothing
}

TEST(NamedBlock, ExistingBlockKeepsItsContents) {
  DeviceSandbox sandbox;
  ce::NamedBlock block = ce::openOrCreateBlock("CRT:WRITE", kBlockSize);
  uint8_t* bytes = ce::mapBlock(block);
  ASSERT_NE(bytes, nullptr);
  std::memcpy(bytes + 8, "kept", 4);
  ce::unmapBlock(bytes, kBlockSize);
  ce::closeBlock(block);

  block = ce::openOrCreateBlock("CRT:WRITE", kBlockSize);
  bytes = ce::mapBlock(block);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes) + 8, 4), "kept");
  ce::unmapBlock(bytes, kBlockSize);
  ce::closeBlock(block);
}

TEST(NamedBlock, FileOfAnotherSizeIsNotABlock) {
  DeviceSandbox sandbox;
  testing_support::writeHostFile(sandbox.objects() + "/SHORT", std::string(100, 'x'));
  testing_support::writeHostFile(sandbox.objects() + "/LONG", std::string(kBlockSize + 1, 'x'));
  testing_support::writeHostFile(sandbox.objects() + "/EMPTY", "");
  for (const char* name : {"SHORT", "LONG", "EMPTY"}) {
    EXPECT_FALSE(ce::openOrCreateBlock(name, kBlockSize).valid()) << name;
  }
  EXPECT_EQ(fs::file_size(sandbox.objects() + "/SHORT"), 100u) << "a refused file must stay untouched";
  fs::create_directories(sandbox.objects() + "/DIR");
  EXPECT_FALSE(ce::openOrCreateBlock("DIR", kBlockSize).valid());
  EXPECT_FALSE(ce::openOrCreateBlock("ZERO", 0).valid());
}

TEST(NamedObjects, UnusableNamesAreRefused) {
  DeviceSandbox sandbox;
  for (const char* name : {"", "a/b", "/", "CRT1/", ".", ".."}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(ce::openOrCreateBlock(name, kBlockSize).valid());
    EXPECT_EQ(ce::createEvent(name, false), nullptr);
    EXPECT_EQ(ce::openEvent(name), nullptr);
    bool existed = true;
    EXPECT_EQ(ce::createMutex(name, existed), nullptr);
    EXPECT_FALSE(existed);
  }
  EXPECT_FALSE(ce::openOrCreateBlock(std::string_view("CRT1\0x", 6), kBlockSize).valid());
  EXPECT_FALSE(fs::exists(sandbox.objects() + "/a")) << "a name must never reach outside the object folder";
}

TEST(NamedEvent, FileLayoutIsStateThenMagic) {
  DeviceSandbox sandbox;
  UmaskGuard noMask(0);
  ce::NamedEvent* event = ce::createEvent("CRT4:EVENT", false);
  ASSERT_NE(event, nullptr);
  const std::string path = sandbox.objects() + "/CRT4:EVENT";
  EXPECT_EQ(testing_support::readHostFile(path), std::string("\0\0\0\0EVNT", 8));
  ce::setEvent(event);
  EXPECT_EQ(testing_support::readHostFile(path), std::string("\1\0\0\0EVNT", 8));
  EXPECT_EQ(modeOf(path), 0660u);
  ce::closeEvent(event);
}

TEST(NamedEvent, OpenFindsOnlyRealEvents) {
  DeviceSandbox sandbox;
  EXPECT_EQ(ce::openEvent("CRT1:EVENT"), nullptr) << "missing";
  testing_support::writeHostFile(sandbox.objects() + "/ZEROS", std::string(8, '\0'));
  testing_support::writeHostFile(sandbox.objects() + "/SHORT", std::string("\0\0\0\0EVN", 7));
  testing_support::writeHostFile(sandbox.objects() + "/LONG", std::string("\0\0\0\0EVNT\0", 9));
  for (const char* name : {"ZEROS", "SHORT", "LONG"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ce::openEvent(name), nullptr);
    EXPECT_EQ(ce::createEvent(name, false), nullptr) << "create must not adopt a foreign file";
  }
  EXPECT_EQ(testing_support::readHostFile(sandbox.objects() + "/ZEROS"), std::string(8, '\0'));
}

TEST(NamedEvent, AutoResetAndKeptState) {
  DeviceSandbox sandbox;
  ce::NamedEvent* event = ce::createEvent("E", true);
  ASSERT_NE(event, nullptr);
  ce::closeEvent(event);
  event = ce::createEvent("E", false);  // exists: keeps its signal
  EXPECT_EQ(ce::waitEvent(event, 0), ce::WaitResult::signalled);
  EXPECT_EQ(ce::waitEvent(event, 0), ce::WaitResult::timeout) << "a satisfied wait consumes the signal";
  ce::setEvent(event);
  ce::resetEvent(event);
  EXPECT_EQ(ce::waitEvent(event, 0), ce::WaitResult::timeout) << "reset clears a pending signal";
  ce::closeEvent(event);

  ce::NamedEvent* first = ce::createEvent(nullptr, true);
  ce::NamedEvent* second = ce::createEvent(nullptr, false);
  EXPECT_EQ(ce::waitEvent(second, 0), ce::WaitResult::timeout) << "unnamed events are separate";
  EXPECT_EQ(ce::waitEvent(first, 0), ce::WaitResult::signalled);
  ce::closeEvent(first);
  ce::closeEvent(second);

  EXPECT_EQ(ce::waitEvent(nullptr, 0), ce::WaitResult::failed);
  EXPECT_FALSE(ce::setEvent(nullptr));
  EXPECT_FALSE(ce::resetEvent(nullptr));
  ce::closeEvent(nullptr);
}

TEST(NamedEvent, TimedWaitEndsOnTime) {
  DeviceSandbox sandbox;
  ce::NamedEvent* event = ce::createEvent("T", false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ce::waitEvent(event, 150), ce::WaitResult::timeout);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(150));
  EXPECT_LT(elapsed, std::chrono::milliseconds(150 + 2000));
  ce::closeEvent(event);
}

TEST(CrossProcess, FrameWrittenByOneIsReadByTheOther) {
  DeviceSandbox sandbox;
  ce::NamedEvent* event = ce::createEvent("CRT7:EVENT", false);
  auto writer = startPeer({"write", "CRT7", "hello frame"});
  ASSERT_EQ(ce::waitEvent(event, 20000), ce::WaitResult::signalled);
  EXPECT_EQ(finishPeer(writer), 0);
  ce::NamedBlock block = ce::openOrCreateBlock("CRT7", kBlockSize);
  uint8_t* bytes = ce::mapBlock(block);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(blockText(bytes), "hello frame");

  // The other way round.
  const uint32_t length = 5;
  std::memcpy(bytes + 8, "reply", length);
  std::memcpy(bytes, &length, sizeof length);
  auto reader = startPeer({"expect", "CRT7", "reply"});
  EXPECT_EQ(finishPeer(reader), 0);
  ce::unmapBlock(bytes, kBlockSize);
  ce::closeBlock(block);
  ce::closeEvent(event);
}

TEST(CrossProcess, TwoSetsBeforeAWaitGiveOneWake) {
  DeviceSandbox sandbox;
  ce::NamedEvent* event = ce::createEvent("CRT1:EVENT", false);
  auto setter = startPeer({"set", "CRT1:EVENT", "2"});
  ASSERT_EQ(finishPeer(setter), 0);
  EXPECT_EQ(ce::waitEvent(event, 0), ce::WaitResult::signalled);
  EXPECT_EQ(ce::waitEvent(event, 0), ce::WaitResult::timeout);

  auto waiter = startPeer({"wait", "CRT1:EVENT", "20000"});
  ASSERT_TRUE(testing_support::waitUntil([&] { return platform_test::asleepOnFutex(waiter.pid, waiter.pid); }));
  ce::setEvent(event);
  EXPECT_EQ(finishPeer(waiter), 0) << "the waiting process must wake with the signal";
  EXPECT_EQ(ce::waitEvent(event, 0), ce::WaitResult::timeout) << "and consume it";

  auto missing = startPeer({"wait", "NO:EVENT", "0"});
  EXPECT_EQ(finishPeer(missing), 3);
  ce::closeEvent(event);
}

TEST(CrossProcess, MutexNameExistsOnlyWhileALiveProcessHoldsIt) {
  DeviceSandbox sandbox;
  const char* name = "GUID_SLEEP_20130830";
  bool existed = true;
  ce::NamedMutex* mine = ce::createMutex(name, existed);
  ASSERT_NE(mine, nullptr);
  EXPECT_FALSE(existed);
  ce::NamedMutex* again = ce::createMutex(name, existed);
  EXPECT_TRUE(existed) << "a second holder in this process counts too";
  ce::closeMutex(again);

  auto other = startPeer({"mutex", name});
  EXPECT_EQ(platform_test::readPeerLine(other), "1");
  ce::closeMutex(mine);
  EXPECT_EQ(finishPeer(other), 0);

  // A holder that dies without closing leaves the file but not the name.
  auto crashing = startPeer({"mutex", name});
  EXPECT_EQ(platform_test::readPeerLine(crashing), "0");
  mine = ce::createMutex(name, existed);
  EXPECT_TRUE(existed);
  ce::closeMutex(mine);
  kill(crashing.pid, SIGKILL);
  EXPECT_EQ(finishPeer(crashing), std::nullopt);
  EXPECT_TRUE(fs::exists(sandbox.objects() + "/" + name));
  EXPECT_EQ(std::distance(fs::directory_iterator(sandbox.objects()), {}), 1) << "nothing but the name's file";
  mine = ce::createMutex(name, existed);
  ASSERT_NE(mine, nullptr);
  EXPECT_FALSE(existed);
  ce::closeMutex(mine);
  ce::closeMutex(nullptr);
}

}  // namespace
