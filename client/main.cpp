// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl: use serialhub's channels from a shell. Everything but signal
// handling lives in the client library; SIGINT and SIGTERM only raise a flag
// that the long waits check, so the tool ends with its output complete. Output
// that could not be written (a full disk under a metrics file) fails the run,
// so that nobody takes a cut file for the whole one.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "client/tool.h"

namespace {

std::atomic<bool> interruptRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void onInterrupt(int) { interruptRequested.store(true, std::memory_order_relaxed); }

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, onInterrupt);
  std::signal(SIGTERM, onInterrupt);
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const int status = shub::client::runTool(args, stdout, stderr, &interruptRequested);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "crtctl: cannot write its output: %s\n", std::strerror(errno));
    return status == shub::client::kExitOk ? shub::client::kExitFailed : status;
  }
  return status;
}
