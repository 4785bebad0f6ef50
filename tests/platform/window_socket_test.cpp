// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The window-message socket as a poster and a planted file see it: the bytes
// of a datagram, what the owner takes and ignores, the mode, and what stands
// at the name before and after (a link never followed, a stale socket
// replaced, a served one or another file left alone).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/window_socket.h"
#include "tests/support/device_sandbox.h"

namespace {

namespace fs = std::filesystem;
using shub::os::postToWindowSocket;
using shub::os::WindowMessage;
using shub::os::WindowMessageSocket;
using shub::os::WindowSocketPost;
using Kind = WindowMessage::Kind;

// A datagram as another program would send it, bytes and all.
bool sendRaw(const std::string& path, const void* bytes, size_t length) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool sent = sendto(fd, bytes, length, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
                    static_cast<ssize_t>(length);
  close(fd);
  return sent;
}

TEST(WindowSocket, CarriesMessagesAndComeForwardRequestsAndIgnoresOtherDatagrams) {
  testing_support::DeviceSandbox sandbox;
  const mode_t umaskBefore = umask(0);  // the mode is the socket's own choice
  std::string why;
  WindowMessageSocket owner = WindowMessageSocket::bind("SLEEP", &why);
  umask(umaskBefore);
  ASSERT_TRUE(owner.valid()) << why;
  const std::string path = sandbox.objects() + "/SLEEP";
  struct stat info {};
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0660u);
  EXPECT_FALSE(owner.receive().has_value());

  const WindowMessage rearm{Kind::message, 1330, 0xFFFFFFFFu, -2};
  EXPECT_EQ(postToWindowSocket("SLEEP", rearm, &why), WindowSocketPost::sent) << why;
  // 11 and 13 bytes are no message; little-endian words are.
  const unsigned char wire[12] = {0x38, 0x05, 0, 0, 1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF};
  ASSERT_TRUE(sendRaw(path, wire, 11));
  ASSERT_TRUE(sendRaw(path, "0123456789abc", 13));
  ASSERT_TRUE(sendRaw(path, wire, 12));
  EXPECT_EQ(postToWindowSocket("SLEEP", {Kind::comeForward}, &why), WindowSocketPost::sent) << why;

  auto got = owner.receive();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->kind, Kind::message);
  EXPECT_EQ(got->number, 1330u);
  EXPECT_EQ(got->unsignedArgument, 0xFFFFFFFFu);
  EXPECT_EQ(got->signedArgument, -2);
  got = owner.receive();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->number, 1336u);
  EXPECT_EQ(got->unsignedArgument, 1u);
  EXPECT_EQ(got->signedArgument, -2);
  got = owner.receive();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->kind, Kind::comeForward);
  EXPECT_FALSE(owner.receive().has_value());

  owner = WindowMessageSocket();  // gone with its owner: nothing to post to
  EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
  EXPECT_EQ(postToWindowSocket("SLEEP", rearm, &why), WindowSocketPost::noWindow);
}

TEST(WindowSocket, ReplacesOnlyAStaleSocketAndNeverFollowsALink) {
  testing_support::DeviceSandbox sandbox;
  const std::string path = sandbox.objects() + "/SLEEP";
  std::string why;
  const WindowMessage rearm{Kind::message, 1330, 0, 0};

  // A link to a file elsewhere: refused at both ends, the file untouched.
  const std::string target = sandbox.base() + "/elsewhere";
  testing_support::writeHostFile(target, "keep");
  fs::create_symlink(target, path);
  EXPECT_FALSE(WindowMessageSocket::bind("SLEEP", &why).valid());
  EXPECT_NE(why.find("symbolic link"), std::string::npos) << why;
  EXPECT_EQ(postToWindowSocket("SLEEP", rearm, &why), WindowSocketPost::failed);
  EXPECT_EQ(testing_support::readHostFile(target), "keep");
  EXPECT_TRUE(fs::is_symlink(path));
  fs::remove(path);

  // A regular file is not a socket: left as it is.
  testing_support::writeHostFile(path, "data");
  EXPECT_FALSE(WindowMessageSocket::bind("SLEEP", &why).valid());
  EXPECT_NE(why.find("not a socket"), std::string::npos) << why;
  EXPECT_EQ(postToWindowSocket("SLEEP", rearm, &why), WindowSocketPost::failed);
  EXPECT_EQ(testing_support::readHostFile(path), "data");
  fs::remove(path);

  // A served socket stays its owner's.
  {
    WindowMessageSocket first = WindowMessageSocket::bind("SLEEP", &why);
    ASSERT_TRUE(first.valid()) << why;
    EXPECT_FALSE(WindowMessageSocket::bind("SLEEP", &why).valid());
    EXPECT_NE(why.find("another process"), std::string::npos) << why;
  }
  // An owner that died without a word leaves its name to the next one.
  const pid_t crashed = fork();
  if (crashed == 0) {
    std::string ignored;
    WindowMessageSocket owner = WindowMessageSocket::bind("SLEEP", &ignored);
    _exit(owner.valid() ? 0 : 1);  // no destructor runs: the name stays
  }
  int status = -1;
  ASSERT_EQ(waitpid(crashed, &status, 0), crashed);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(fs::is_socket(path));
  EXPECT_EQ(postToWindowSocket("SLEEP", rearm, &why), WindowSocketPost::noWindow);
  WindowMessageSocket second = WindowMessageSocket::bind("SLEEP", &why);
  ASSERT_TRUE(second.valid()) << why;
  EXPECT_EQ(postToWindowSocket("SLEEP", rearm, &why), WindowSocketPost::sent) << why;
  EXPECT_TRUE(second.receive().has_value());
  // No dot name is left behind by either.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(sandbox.objects())) ++entries;
  EXPECT_EQ(entries, 1u);
}

}  // namespace
