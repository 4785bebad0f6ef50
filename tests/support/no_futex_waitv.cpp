// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Runs a program as on a kernel without futex_waitv (before 5.16): a seccomp
// filter, inherited by every process it starts, answers that call ENOSYS.
//   no_futex_waitv PROGRAM [ARGS...]
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: no_futex_waitv PROGRAM [ARGS...]\n");
    return 2;
  }
  // Only the call number is compared: a process of another ABI is not expected here.
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_futex_waitv, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    std::fprintf(stderr, "no_futex_waitv: seccomp filter: %s\n", std::strerror(errno));
    return 1;
  }
  execv(argv[1], argv + 1);
  std::fprintf(stderr, "no_futex_waitv: %s: %s\n", argv[1], std::strerror(errno));
  return 127;
}
