// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Spawns object_peer with piped standard input and output (posix_spawn, so
// nothing of a threaded test process runs in the child), and reads a thread's
// kernel state from /proc to see when it sleeps on a futex.
#include "tests/platform/peer.h"

#include <csignal>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/wait.h"

extern char** environ;

namespace platform_test {

Peer startPeer(const std::vector<std::string>& args) {
  int toPeer[2], fromPeer[2];
  if (pipe2(toPeer, O_CLOEXEC) != 0) return {};
  if (pipe2(fromPeer, O_CLOEXEC) != 0) {
    close(toPeer[0]);
    close(toPeer[1]);
    return {};
  }
  std::vector<std::string> argvStrings{OBJECT_PEER};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argvStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toPeer[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromPeer[1], STDOUT_FILENO);
  Peer peer;
  if (posix_spawn(&peer.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) peer.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(toPeer[0]);
  close(fromPeer[1]);
  peer.input = toPeer[1];
  peer.output = fromPeer[0];
  return peer;
}

void closePeerInput(Peer& peer) {
  if (peer.input >= 0) close(peer.input);
  peer.input = -1;
}

std::optional<int> finishPeer(Peer& peer, std::chrono::milliseconds timeout) {
  closePeerInput(peer);  // a peer holding a mutex lets go when its input ends
  int status = 0;
  bool exited = peer.pid > 0 && testing_support::waitUntil(
                                    [&] { return waitpid(peer.pid, &status, WNOHANG) == peer.pid; }, timeout);
  if (!exited && peer.pid > 0) {
    kill(peer.pid, SIGKILL);
    waitpid(peer.pid, &status, 0);
  }
  if (peer.output >= 0) close(peer.output);
  peer = Peer{};
  if (!exited || !WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

std::optional<std::string> readPeerLine(Peer& peer, std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd ready{peer.output, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char byte;
    if (read(peer.output, &byte, 1) != 1) return std::nullopt;
    if (byte == '\n') return line;
    line += byte;
  }
}

pid_t currentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool asleepOnFutex(pid_t pid, pid_t tid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/syscall");
  long number = -1;
  file >> number;
  if (number != SYS_futex && number != SYS_futex_waitv) return false;
  // The syscall file shows the call being made; the state says it sleeps in it.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
}

}  // namespace platform_test
