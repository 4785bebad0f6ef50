// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Runs a program as on a kernel without futex_waitv (before 5.16): the call
// answers ENOSYS there and in every process it starts.
//   no_futex_waitv PROGRAM [ARGS...]
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tests/support/deny_system_call.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: no_futex_waitv PROGRAM [ARGS...]\n");
    return 2;
  }
  if (!testing_support::denySystemCall(SYS_futex_waitv, ENOSYS)) {
    std::fprintf(stderr, "no_futex_waitv: seccomp filter: %s\n", std::strerror(errno));
    return 1;
  }
  execv(argv[1], argv + 1);
  std::fprintf(stderr, "no_futex_waitv: %s: %s\n", argv[1], std::strerror(errno));
  return 127;
}
