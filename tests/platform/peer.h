// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Runs object_peer as a second process, and tells when a thread or process is
// asleep on a futex, so that tests can line up waiters without sleeping.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace platform_test {

struct Peer {
  pid_t pid = -1;
  int input = -1;   // its standard input
  int output = -1;  // its standard output
};

// Starts object_peer with `args`; pid -1 on failure.
Peer startPeer(const std::vector<std::string>& args);

// Closes the peer's input, then returns its exit code, or nullopt when it did
// not exit in time (it is then killed). Closes its pipes.
std::optional<int> finishPeer(Peer& peer, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// One line of the peer's output without the newline; nullopt on time-out.
std::optional<std::string> readPeerLine(Peer& peer, std::chrono::milliseconds timeout = std::chrono::seconds(20));

void closePeerInput(Peer& peer);

// The calling thread's id, for asleepOnFutex().
pid_t currentTid();

// True once thread `tid` of process `pid` sleeps in a futex call (a single
// or a vector wait).
bool asleepOnFutex(pid_t pid, pid_t tid);

}  // namespace platform_test
