// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Device paths below CE_ROOT: case-blind lookup with a fixed answer when names
// differ only in case, ".." held at the root, links followed, and the folders
// the programs find themselves and their objects in. Also the tick count.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/paths.h"
#include "tests/support/deny_system_call.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using testing_support::DeviceSandbox;

struct ResolveCase {
  const char* devicePath;
  const char* expected;  // relative to the root; nullptr: not found
};

TEST(Paths, ResolveDevicePath) {
  DeviceSandbox sandbox;
  sandbox.writeFile("ResidentFlash2/korvent/app/duskcard.exe", "exe");
  sandbox.writeFile("Dup/abc", "");
  sandbox.writeFile("Dup/ABC", "");
  sandbox.writeFile("Dup/Abc", "");
  fs::create_directory_symlink("ResidentFlash2/korvent", sandbox.root() + "/link");
  fs::create_symlink("nowhere", sandbox.root() + "/dangling");

  const ResolveCase cases[] = {
      {"\\ResidentFlash2\\korvent\\app\\duskcard.exe", "ResidentFlash2/korvent/app/duskcard.exe"},
      {"residentflash2\\KORVENT\\APP\\DUSKCARD.EXE", "ResidentFlash2/korvent/app/duskcard.exe"},
      {"/residentflash2/korvent/app/duskcard.exe", "ResidentFlash2/korvent/app/duskcard.exe"},
      {"residentflash2\\\\korvent\\.\\app\\", "ResidentFlash2/korvent/app"},
      {"dup\\abc", "Dup/abc"},                        // exact match wins
      {"dup\\ABC", "Dup/ABC"},
      {"dup\\Abc", "Dup/Abc"},
      {"dup\\aBC", "Dup/ABC"},                        // else the first in byte order
      {"..\\..\\residentflash2\\korvent", "ResidentFlash2/korvent"},  // ".." stops at the root
      {"residentflash2\\..\\..\\..\\dup\\abc", "Dup/abc"},
      {"..\\etc\\passwd", nullptr},                   // never the host's
      {"link\\APP\\duskcard.exe", "link/app/duskcard.exe"},  // links inside the root are followed
      {"dangling", nullptr},
      {"residentflash2\\korvent\\missing.exe", nullptr},
      {"nothing\\duskcard.exe", nullptr},
      {"residentflash2\\korvent\\app\\duskcard.exe\\more", nullptr},  // a file is not a folder
      {"", ""},
      {"\\", ""},
  };
  for (const ResolveCase& c : cases) {
    SCOPED_TRACE(c.devicePath);
    const std::optional<std::string> resolved = shub::os::resolveDevicePath(c.devicePath);
    if (!c.expected) {
      EXPECT_EQ(resolved, std::nullopt);
    } else if (*c.expected == '\0') {
      EXPECT_EQ(resolved, sandbox.root());
    } else {
      EXPECT_EQ(resolved, sandbox.root() + "/" + c.expected);
    }
  }
}

TEST(Paths, DeviceNodesAndFolderLookups) {
  DeviceSandbox sandbox;
  sandbox.writeFile("dev/COM7", "");
  fs::create_symlink(sandbox.root() + "/dev/gone", sandbox.root() + "/dev/BKL1");
  EXPECT_EQ(shub::os::findDeviceNode("com7"), sandbox.root() + "/dev/COM7");
  EXPECT_EQ(shub::os::findDeviceNode("BKL1"), std::nullopt) << "a link to a missing device is no device";
  EXPECT_EQ(shub::os::findDeviceNode("BAT1"), std::nullopt);
  for (const char* odd : {"", ".", "..", "../dev/COM7"}) EXPECT_EQ(shub::os::findDeviceNode(odd), std::nullopt) << odd;
  EXPECT_EQ(shub::os::findInDirectory(sandbox.root(), "DEV"), sandbox.root() + "/dev");
  EXPECT_EQ(shub::os::findInDirectory(sandbox.root() + "/missing", "x"), std::nullopt);
}

// A directory read that fails part way (EOVERFLOW: a 32-bit off_t meeting
// 64-bit cookies) finds nothing and says so once, not "no such device".
TEST(Paths, AnUnreadableDirectoryIsSaidOnce) {
  DeviceSandbox sandbox;
  sandbox.writeFile("dev/BAT1", "1\n");
  const std::string said = sandbox.base() + "/said";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int out = open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0 || dup2(out, STDERR_FILENO) != STDERR_FILENO) _exit(1);
    if (!testing_support::denySystemCall(SYS_getdents64, EOVERFLOW)) _exit(2);
    const bool found = shub::os::findDeviceNode("BAT1") || shub::os::findDeviceNode("bat1");
    _exit(found ? 1 : 0);
  }
  int status = -1;
  ASSERT_TRUE(testing_support::waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no seccomp filter here (qemu-user refuses them)";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string text = testing_support::readHostFile(said);
  EXPECT_EQ(testing_support::occurrences(text, sandbox.root() + ": cannot read the directory: " + std::strerror(EOVERFLOW)),
            1u) << text;
}

TEST(Paths, ObjectPathNamesAFileInTheObjectsDirectory) {
  DeviceSandbox sandbox;
  EXPECT_EQ(shub::os::objectPath("CRT:WRITE:EVENT"), sandbox.objects() + "/CRT:WRITE:EVENT");
  for (const char* bad : {"", "a/b", "/", ".."}) EXPECT_EQ(shub::os::objectPath(bad), std::nullopt) << bad;
}

// The daemon makes a missing objects directory private to its group, and
// refuses one that others could have planted files or links in.
TEST(Paths, ObjectsDirectoryIsMadePrivateOrRefused) {
  struct Case {
    const char* legend;
    std::function<void(const std::string& dir)> make;
    const char* problem;  // "" when the directory is accepted
  };
  const bool root = geteuid() == 0;
  const std::vector<Case> cases = {
      {"missing: made", [](const std::string&) {}, ""},
      {"own, 0750", [](const std::string& dir) { fs::create_directory(dir); chmod(dir.c_str(), 0750); }, ""},
      {"writable by others", [](const std::string& dir) { fs::create_directory(dir); chmod(dir.c_str(), 0777); },
       "writable by others"},
      {"a link to a directory", [](const std::string& dir) { fs::create_directory_symlink("/tmp", dir); },
       "symbolic link"},
      {"a file", [](const std::string& dir) { testing_support::writeHostFile(dir, "x"); }, "not a directory"},
      {"another user's", [root](const std::string& dir) {
         fs::create_directory(dir);
         if (root) chown(dir.c_str(), 65534, 65534);
       }, root ? "belongs to uid 65534" : ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    DeviceSandbox sandbox;
    const std::string dir = sandbox.base() + "/nested/objects";
    fs::create_directories(sandbox.base() + "/nested");
    setenv("CE_OBJECTS", dir.c_str(), 1);
    c.make(dir);
    const mode_t saved = umask(022);
    std::string problem;
    const bool prepared = shub::os::prepareObjectsDirectory(&problem);
    umask(saved);
    EXPECT_EQ(prepared, *c.problem == '\0') << problem;
    if (!prepared) {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
      EXPECT_EQ(problem.rfind(dir, 0), 0u) << "the message names the directory: " << problem;
    }
  }
  DeviceSandbox sandbox;
  const std::string dir = sandbox.base() + "/made";
  setenv("CE_OBJECTS", dir.c_str(), 1);
  const mode_t saved = umask(077);
  EXPECT_TRUE(shub::os::prepareObjectsDirectory(nullptr));
  umask(saved);
  struct stat info {};
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 02770u);
}

TEST(Paths, ExecutableDirectoryIsWhereThisTestLives) {
  EXPECT_EQ(shub::os::executableDirectory(),
            fs::canonical(std::string(SERIALHUB_BINARY_DIR) + "/tests/platform").string());
}

}  // namespace
