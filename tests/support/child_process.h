// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A program a test starts: its stdout and stderr optionally sent to files,
// waited for by pid with a deadline, and killed (by its pid) if the test
// ends before it does.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testing_support {

class ChildProcess {
 public:
  // argv[0] is looked up in PATH when it holds no slash; an empty path keeps
  // the test's own stream.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& outPath = "",
                        const std::string& errPath = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The exit status; 128 + the signal's number when a signal ended it; -1
  // when it did not end within `timeout` or never started.
  int finish(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
};

}  // namespace testing_support
