// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
#include "tests/support/daemon_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "tests/support/wait.h"

extern char** environ;

namespace testing_support {

DaemonProcess::DaemonProcess(const DeviceSandbox& sandbox) {
  bin_ = sandbox.base() + "/bin";
  std::filesystem::create_directories(bin_);
  std::filesystem::copy_file(builtProgram("daemon/serialhub"), bin_ + "/serialhub",
                             std::filesystem::copy_options::overwrite_existing);
  notifyPath_ = sandbox.base() + "/notify";
  stderrPath_ = sandbox.base() + "/serialhub.err";
  stdoutPath_ = sandbox.base() + "/serialhub.out";
  notify_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, notifyPath_.c_str(), sizeof address.sun_path - 1);
  bind(notify_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  chmod(notifyPath_.c_str(), 0777);  // a daemon running as another user talks to it too
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0 && !exited_) killHard();
  close(notify_);
}

void DaemonProcess::writeRoutes(const std::string& text) const { writeHostFile(bin_ + "/ctl_rt.st", text); }

bool DaemonProcess::start(std::optional<uid_t> uid, gid_t gid) {
  // What an earlier run said (its STOPPING=1) is not this run's.
  for (char drop[256]; recv(notify_, drop, sizeof drop, MSG_DONTWAIT) > 0;) {
  }
  const std::string program = bin_ + "/serialhub";
  const std::string notify = "NOTIFY_SOCKET=" + notifyPath_;
  std::vector<char*> env;
  const auto replaced = [this](const char* entry) {
    const std::string_view name(entry, std::strcspn(entry, "="));
    if (name == "NOTIFY_SOCKET") return true;
    for (const std::string& extra : extraEnvironment_) {
      if (extra.compare(0, name.size() + 1, std::string(name) + "=") == 0) return true;
    }
    return false;
  };
  for (char** e = environ; *e != nullptr; ++e) {
    if (!replaced(*e)) env.push_back(*e);
  }
  env.push_back(const_cast<char*>(notify.c_str()));
  for (const std::string& entry : extraEnvironment_) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments_) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  const int out = open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  exited_ = false;
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    dup2(err, STDERR_FILENO);
    dup2(out, STDOUT_FILENO);
    if (uid && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(*uid) != 0)) _exit(126);
    execve(program.c_str(), argv.data(), env.data());
    _exit(127);
  }
  close(err);
  close(out);
  return pid_ > 0;
}

bool DaemonProcess::startReady() { return start() && nextNotice() == "READY=1"; }

std::string DaemonProcess::nextNotice(std::chrono::milliseconds timeout, bool everyKind) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fd{notify_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) != 1) return "";
    char buffer[256] = {};
    const ssize_t n = recv(notify_, buffer, sizeof buffer - 1, 0);
    const std::string notice = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
    if (everyKind || (notice.rfind("STATUS=", 0) != 0 && notice != "WATCHDOG=1")) return notice;
  }
}

int DaemonProcess::stop(std::chrono::milliseconds timeout) {
  kill(pid_, SIGTERM);
  const int code = waitExit(timeout);
  if (code == -1 && !exited_) killHard();
  return code;
}

int DaemonProcess::waitExit(std::chrono::milliseconds timeout) {
  int status = 0;
  if (!waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) return -1;
  exited_ = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void DaemonProcess::killHard() {
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  exited_ = true;
}

bool DaemonProcess::alive() const { return pid_ > 0 && !exited_ && kill(pid_, 0) == 0; }

long DaemonProcess::cpuTicks() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

bool DaemonProcess::blocksStopSignals() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("SigBlk:", 0) != 0) continue;
    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
    const unsigned long long wanted = (1ull << (SIGTERM - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGHUP - 1));
    return (mask & wanted) == wanted;
  }
  return false;
}

std::string DaemonProcess::stderrText() const { return readHostFile(stderrPath_); }
std::string DaemonProcess::stdoutText() const { return readHostFile(stdoutPath_); }

std::string DaemonProcess::mapsText() const { return readHostFile("/proc/" + std::to_string(pid_) + "/maps"); }

}  // namespace testing_support
