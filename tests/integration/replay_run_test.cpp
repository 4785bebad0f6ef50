// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl replay --run killed outright, as a real process: its daemon does
// not outlive it, and the next run removes the temporary folder it left,
// and nothing else that looks like one.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
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

constexpr auto kDeadline = std::chrono::seconds(30);

// A process's name, state and parent, from /proc/PID/stat; nullopt once it is gone.
struct ProcessStat {
  std::string name;
  char state = '?';
  pid_t parent = 0;
};

std::optional<ProcessStat> processStat(pid_t pid) {
  const std::string text = readHostFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t open = text.find('('), close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 4 >= text.size()) return std::nullopt;
  return ProcessStat{text.substr(open + 1, close - open - 1), text[close + 2], std::atoi(text.c_str() + close + 4)};
}

pid_t childNamed(pid_t parent, const std::string& name) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const pid_t pid = std::atoi(entry.path().filename().c_str());
    const std::optional<ProcessStat> stat = pid > 0 ? processStat(pid) : std::nullopt;
    if (stat && stat->parent == parent && stat->name == name) return pid;
  }
  return -1;
}

bool processGone(pid_t pid) {
  const std::optional<ProcessStat> stat = processStat(pid);
  return !stat || stat->state == 'Z';  // a zombie nobody reaps has ended all the same
}

std::vector<std::string> replayFolders(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with("crtctl-replay.")) names.push_back(entry.path().filename());
  }
  return names;
}

TEST(ReplayRun, KilledOutrightItsDaemonEndsAndTheNextRunRemovesOnlyTheFolderItLeft) {
  testing_support::DeviceSandbox sandbox;
  const std::string tmp = sandbox.base() + "/tmp";
  fs::create_directory(tmp);
  const char* savedTmp = std::getenv("TMPDIR");
  const std::string saved = savedTmp != nullptr ? savedTmp : "";
  setenv("TMPDIR", tmp.c_str(), 1);
  const std::vector<std::string> run = {testing_support::builtProgram("client/crtctl"), "replay", "--run",
                                        "--routes", SERIALHUB_SOURCE_DIR "/tests/replay/ctl_rt.st",
                                        "--daemon", testing_support::builtProgram("daemon/serialhub")};

  std::vector<std::string> longRun = run;
  longRun.push_back(sandbox.writeFile("long.cap", "# serialhub capture 1\n0 fe\n60000000 41\n"));
  ChildProcess killed(longRun, sandbox.base() + "/killed.out", sandbox.base() + "/killed.err");
  pid_t daemon = -1;
  ASSERT_TRUE(waitUntil([&] { return (daemon = childNamed(killed.pid(), "serialhub")) > 0; }, kDeadline));
  ASSERT_EQ(kill(killed.pid(), SIGKILL), 0);
  ASSERT_EQ(killed.finish(kDeadline), 128 + SIGKILL);
  EXPECT_TRUE(waitUntil([&] { return processGone(daemon); }, kDeadline)) << "serialhub outlived its replay";
  const std::vector<std::string> left = replayFolders(tmp);
  ASSERT_EQ(left.size(), 1u);

  // Shaped like leftovers, but a live owner's folder (ours), a link, and a
  // name of another program: these stay.
  const std::string dead = std::to_string(killed.pid());
  fs::create_directory(tmp + "/crtctl-replay." + std::to_string(getpid()) + ".Alive1");
  sandbox.writeFile("victim/file", "kept");
  fs::create_directory_symlink(sandbox.root() + "/victim", tmp + "/crtctl-replay." + dead + ".Link12");
  fs::create_directory(tmp + "/crtctl-replayer." + dead + ".Other1");

  std::vector<std::string> shortRun = run;
  shortRun.push_back(sandbox.writeFile("short.cap", "# serialhub capture 1\n0 fe 41 10 27 20 4e\n"));
  ChildProcess next(shortRun, sandbox.base() + "/next.out", sandbox.base() + "/next.err");
  EXPECT_EQ(next.finish(kDeadline), 0) << readHostFile(sandbox.base() + "/next.err");
  EXPECT_EQ(readHostFile(sandbox.base() + "/next.out"), "CRT1: fe 41 10 27 20 4e\n");
  EXPECT_FALSE(fs::exists(tmp + "/" + left[0]));
  EXPECT_TRUE(fs::is_directory(tmp + "/crtctl-replay." + std::to_string(getpid()) + ".Alive1"));
  EXPECT_EQ(sandbox.readFile("victim/file"), "kept");
  EXPECT_TRUE(fs::is_symlink(tmp + "/crtctl-replay." + dead + ".Link12"));
  EXPECT_TRUE(fs::is_directory(tmp + "/crtctl-replayer." + dead + ".Other1"));
  EXPECT_EQ(replayFolders(tmp).size(), 2u);  // the live owner's and the link

  if (savedTmp != nullptr) setenv("TMPDIR", saved.c_str(), 1);
  else unsetenv("TMPDIR");
}

}  // namespace
