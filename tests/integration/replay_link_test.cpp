// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl replay into a link, as a real process: it plays only to someone who
// opened its pty, ends promptly on SIGTERM even while nobody takes its bytes,
// and touches nothing at the link but the link it made. The test itself
// holds the pty's slave where a daemon would: it opens the link and reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildProcess;
using testing_support::readHostFile;
using testing_support::waitUntil;

constexpr auto kDeadline = std::chrono::seconds(20);

std::string crtctl() { return testing_support::builtProgram("client/crtctl"); }

std::string linkTarget(const std::string& link) {
  std::error_code failure;
  return fs::read_symlink(link, failure).string();
}

ino_t nodeInode(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Opens the pty a replay linked at `link` once the link is a new one (not
// the node `old`), as the daemon would; -1 after the deadline.
int openReplayPty(const std::string& link, ino_t old) {
  int fd = -1;
  waitUntil(
      [&] {
        if (nodeInode(link) == old || !linkTarget(link).starts_with("/dev/pts/")) return false;
        fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0;
      },
      kDeadline);
  return fd;
}

// Reads one byte from the pty; -1 after the deadline.
int readByte(int fd) {
  uint8_t byte = 0;
  const bool got = waitUntil([&] { return read(fd, &byte, 1) == 1; }, kDeadline);
  return got ? byte : -1;
}

std::vector<std::string> folderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ReplayLink, NobodyOpeningThePtyEndsItWithStatusOneAndTheLinkPutBack) {
  testing_support::DeviceSandbox sandbox;
  const std::string link = sandbox.root() + "/dev/COM7";
  const std::string line = sandbox.writeFile("dev/line", "");
  ASSERT_EQ(symlink(line.c_str(), link.c_str()), 0);
  const std::string dump = sandbox.writeFile("peer.hex", "fe41e803\n");
  const std::string errors = sandbox.base() + "/replay.err";
  ChildProcess replay({crtctl(), "replay", dump}, "", errors);
  // It waits 10 s for a reader.
  EXPECT_EQ(replay.finish(std::chrono::seconds(30)), 1);
  EXPECT_NE(readHostFile(errors).find("nobody opened the pty linked as " + link), std::string::npos)
      << readHostFile(errors);
  EXPECT_EQ(linkTarget(link), line);
}

TEST(ReplayLink, SigtermEndsItWhileItsReaderTakesNothingAndPutsTheLinkBack) {
  testing_support::DeviceSandbox sandbox;
  const std::string link = sandbox.root() + "/dev/COM7";
  const std::string line = sandbox.writeFile("dev/line", "");
  ASSERT_EQ(symlink(line.c_str(), link.c_str()), 0);
  // Far more than a pty holds, all due at once.
  const std::string dump = sandbox.writeFile("peer.hex", std::string(400000, 'a') + "\n");
  const ino_t before = nodeInode(link);
  ChildProcess replay({crtctl(), "replay", dump, "--baud", "1000000000"}, "", sandbox.base() + "/replay.err");
  const int reader = openReplayPty(link, before);
  ASSERT_GE(reader, 0);
  int waiting = 0;
  ASSERT_TRUE(waitUntil([&] { return ioctl(reader, FIONREAD, &waiting) == 0 && waiting > 0; }, kDeadline));
  ASSERT_EQ(kill(replay.pid(), SIGTERM), 0);
  const auto sent = std::chrono::steady_clock::now();
  // It must end within 1 s; 3 s leave room for a loaded machine.
  EXPECT_EQ(replay.finish(std::chrono::seconds(3)), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3));
  EXPECT_EQ(linkTarget(link), line);
  close(reader);
}

TEST(ReplayLink, ItTouchesNoNodeButItsOwnLinkAndASecondReplayOnTheLinkRefusesToStart) {
  testing_support::DeviceSandbox sandbox;
  const std::string dev = sandbox.root() + "/dev";
  const std::string link = dev + "/COM7";
  const std::string line = sandbox.writeFile("dev/line", "");
  ASSERT_EQ(symlink(line.c_str(), link.c_str()), 0);
  const std::string planted = sandbox.writeFile("dev/COM7.replay", "someone's");
  const std::string capture = sandbox.writeFile("long.cap", "# serialhub capture 1\n0 aa\n60000000 bb\n");
  const std::string dump = sandbox.writeFile("short.hex", "cc\n");

  // A replay playing (in the capture's long pause).
  ino_t before = nodeInode(link);
  ChildProcess first({crtctl(), "replay", capture}, "", sandbox.base() + "/first.err");
  int reader = openReplayPty(link, before);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(readByte(reader), 0xaa);
  const std::string firstPty = linkTarget(link);

  // A second one on the same link refuses and changes nothing.
  const std::string secondErrors = sandbox.base() + "/second.err";
  ChildProcess second({crtctl(), "replay", dump}, "", secondErrors);
  EXPECT_EQ(second.finish(kDeadline), 1);
  EXPECT_NE(readHostFile(secondErrors).find("another crtctl replay plays into"), std::string::npos)
      << readHostFile(secondErrors);
  EXPECT_EQ(linkTarget(link), firstPty);

  // Killed outright, the first leaves its link to a pty that is gone; the
  // next replay takes the link over.
  ASSERT_EQ(kill(first.pid(), SIGKILL), 0);
  EXPECT_EQ(first.finish(kDeadline), 128 + SIGKILL);
  close(reader);
  const std::string thirdErrors = sandbox.base() + "/third.err";
  before = nodeInode(link);
  ChildProcess third({crtctl(), "replay", capture}, "", thirdErrors);
  reader = openReplayPty(link, before);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(readByte(reader), 0xaa);

  // Someone else puts a file in its place meanwhile: it stays.
  ASSERT_EQ(unlink(link.c_str()), 0);
  sandbox.writeFile("dev/COM7", "a file of someone's");
  ASSERT_EQ(kill(third.pid(), SIGINT), 0);
  EXPECT_EQ(third.finish(kDeadline), 1);
  EXPECT_NE(readHostFile(thirdErrors).find("COM7: changed by someone else"), std::string::npos)
      << readHostFile(thirdErrors);
  close(reader);
  EXPECT_EQ(sandbox.readFile("dev/COM7"), "a file of someone's");
  EXPECT_EQ(readHostFile(planted), "someone's");
  EXPECT_EQ(folderNames(dev), (std::vector<std::string>{"COM7", "COM7.replay", "line"}));
}

}  // namespace
