// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The real serialhub in a test's sandbox: copied with its route file into a
// folder of its own, started with a notify socket to hear READY=1 and
// STOPPING=1 from, its stderr kept in a file, waited for by pid with a
// deadline, and killed if a test leaves it running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/device_sandbox.h"

namespace testing_support {

class DaemonProcess {
 public:
  explicit DaemonProcess(const DeviceSandbox& sandbox);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  const std::string& folder() const { return bin_; }
  void writeRoutes(const std::string& text) const;

  // Adds an argument to the command line of the next start().
  void addArgument(const std::string& argument) { arguments_.push_back(argument); }
  // Adds "NAME=value" to the environment of the next start().
  void addEnvironment(const std::string& entry) { extraEnvironment_.push_back(entry); }
  // Starts it; with `uid` (and `gid`) it runs as that user.
  bool start(std::optional<uid_t> uid = std::nullopt, gid_t gid = 0);
  // start(), then true when the first notice is READY=1.
  bool startReady();

  // The next notify datagram, or "" after `timeout`. STATUS= and WATCHDOG=1
  // come whenever the daemon's state changes; they are passed over unless
  // `everyKind`.
  std::string nextNotice(std::chrono::milliseconds timeout = std::chrono::seconds(10), bool everyKind = false);
  // SIGTERM, then the exit code within `timeout` (-1 when it did not end).
  int stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits for the process to end: its exit code, or -1 on time-out or a signal.
  int waitExit(std::chrono::milliseconds timeout);
  // SIGKILL, then reaps it.
  void killHard();

  bool alive() const;
  pid_t pid() const { return pid_; }
  long cpuTicks() const;  // utime + stime in clock ticks
  // SIGTERM, SIGINT and SIGHUP are blocked in its main thread.
  bool blocksStopSignals() const;
  std::string stderrText() const;
  std::string stdoutText() const;
  std::string mapsText() const;  // /proc/PID/maps

 private:
  std::string bin_, notifyPath_, stderrPath_, stdoutPath_;
  std::vector<std::string> extraEnvironment_;
  std::vector<std::string> arguments_;
  int notify_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
};

}  // namespace testing_support
