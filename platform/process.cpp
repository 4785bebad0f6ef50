// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Program start with posix_spawn, never waited for: a double fork whose middle
// child exits with the spawn's error, so init reaps the program, no zombie piles
// up and no SIGCHLD handler is needed. Other threads may hold locks at the fork:
// the child only spawns (no path search, so no allocation) and exits.
//
// A tool's helper is forked and executed by hand instead, as it must get its
// parent-death signal between the two: it never outlives the tool, even one
// killed outright.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/paths.h"

extern char** environ;

namespace shub::os {
namespace {

// Reaps the child if it has ended (with `options` 0: once it ends).
bool reap(int pid, int& status, int options) {
  int raw = 0;
  if (waitpid(pid, &raw, options) != pid) return false;
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return true;
}

}  // namespace

bool startProgram(const char* devicePath, const char* commandLine, std::string* why) {
  const std::optional<std::string> path = devicePath != nullptr ? resolveDevicePath(devicePath) : std::nullopt;
  if (!path) {
    if (why != nullptr) *why = std::strerror(ENOENT);
    return false;
  }
  std::vector<std::string> words{*path};  // quotes mean nothing: the daemon's command lines hold none
  for (std::string_view word : splitPath(commandLine != nullptr ? commandLine : "", " \t")) words.emplace_back(word);
  std::vector<char*> argv, envp;
  for (std::string& word : words) argv.push_back(word.data());
  // NOTIFY_SOCKET and the watchdog's variables would let the program speak as the service.
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (!text.starts_with("NOTIFY_SOCKET=") && !text.starts_with("WATCHDOG_")) envp.push_back(*entry);
  }
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  // The daemon blocks its stop signals and may ignore others: the program starts afresh.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // also what was opened without close-on-exec

  const pid_t child = fork();
  if (child == 0) {
    pid_t program = 0;
    _exit(posix_spawn(&program, argv[0], &actions, &attributes, argv.data(), envp.data()));
  }
  int failure = errno;  // fork's, should it have failed
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  int status = 0;
  while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (child > 0) failure = WIFEXITED(status) ? WEXITSTATUS(status) : EAGAIN;
  if (failure != 0 && why != nullptr) *why = std::strerror(failure);
  return failure == 0;
}

void setEnvironment(const char* name, const std::string& value) {
  if (value.empty()) unsetenv(name);
  else setenv(name, value.c_str(), 1);
}

int startChild(const std::vector<std::string>& argv, const std::string& outputFile, std::string* why) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // The child's errno if it could not exec goes through this pipe, which
  // exec closes: nothing to read then means the program runs.
  int report[2];
  const int output = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (output < 0 || pipe2(report, O_CLOEXEC) != 0) {
    if (why != nullptr) *why = std::strerror(errno);
    if (output >= 0) close(output);
    return -1;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec: other threads may hold locks.
    setpgid(0, 0);
    // Dies with us, however we die; a parent already gone (we are adopted)
    // would never send the signal.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) == 0 && getppid() == parent && dup2(output, 1) == 1 && dup2(output, 2) == 2) {
      execv(args[0], args.data());
    }
    const int error = errno;
    (void)!write(report[1], &error, sizeof error);
    _exit(127);
  }
  const int forkError = errno;
  close(output);
  close(report[1]);
  int childError = pid < 0 ? forkError : 0;
  if (pid > 0) {
    setpgid(pid, pid);  // as the child does: whichever runs first
    while (read(report[0], &childError, sizeof childError) < 0 && errno == EINTR) {
    }
  }
  close(report[0]);
  if (childError != 0) {
    if (pid > 0) waitpid(pid, nullptr, 0);
    if (why != nullptr) *why = std::strerror(childError);
    return -1;
  }
  return pid;
}

bool childEnded(int pid, int& status) { return reap(pid, status, WNOHANG); }

int stopChild(int pid, int timeoutMs) {
  // Readable once the child has ended (glibc 2.36 declares pidfd_open without C linkage).
  pollfd ended{static_cast<int>(syscall(SYS_pidfd_open, pid, 0)), POLLIN, 0};
  kill(pid, SIGTERM);
  if (poll(&ended, 1, timeoutMs) <= 0) kill(pid, SIGKILL);  // also when a signal cut the wait short
  if (ended.fd >= 0) close(ended.fd);
  int status = 0;
  reap(pid, status, 0);
  return status;
}

}  // namespace shub::os
