// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A program a test starts (see child_process.h).
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "tests/support/wait.h"

extern char** environ;

namespace testing_support {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outPath,
                           const std::string& errPath) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC;
  if (!outPath.empty()) posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), flags, 0600);
  if (!errPath.empty()) posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), flags, 0600);
  if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0 || reaped_) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

int ChildProcess::finish(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  if (!reaped_) {
    int status = 0;
    reaped_ = waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
    if (!reaped_) return -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return status_;
}

}  // namespace testing_support
