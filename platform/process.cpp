// Program start for a daemon that never waits for what it starts.
//
// Reaping: a double fork. The intermediate child forks the program and exits
// at once; we reap that child straight away, and the program is re-parented
// to init (or the nearest subreaper), which reaps it. So no SIGCHLD handler is
// needed and nothing piles up however often the sleep sequence runs.
//
// Must survive: being called while other threads run (between fork and exec
// only async-signal-safe calls; argv is built before the fork), descriptors
// opened elsewhere without close-on-exec (everything beyond 2 is closed), a
// signal mask or ignored signals inherited from the caller (reset), and a
// missing or non-executable program (reported through a close-on-exec pipe).
#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paths.h"

namespace ce {
namespace {

// Blank-separated words. Quotes are not interpreted: the command lines the
// daemon passes ("sleep", none) hold none.
std::vector<std::string> splitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    const size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    if (at > start) words.emplace_back(line.substr(start, at - start));
  }
  return words;
}

// Runs in the grandchild: only async-signal-safe calls.
[[noreturn]] void execProgram(char* const* argv, int reportFd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  signal(SIGCHLD, SIG_DFL);
  // Keep the report pipe (close-on-exec) until exec; close everything else.
  if (reportFd > 3) close_range(3, static_cast<unsigned>(reportFd) - 1, 0);
  close_range(static_cast<unsigned>(reportFd) + 1, UINT_MAX, 0);
  execv(argv[0], argv);
  const int error = errno;
  (void)::write(reportFd, &error, sizeof error);
  _exit(127);
}

// The parent's half: reap the intermediate child, then learn from the pipe
// whether exec succeeded (end of file: it did).
bool awaitStart(pid_t child, int reportFd) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t n;
  do {
    n = ::read(reportFd, &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  ::close(reportFd);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

}  // namespace

bool startProgram(const char* devicePath, const char* commandLine) {
  if (devicePath == nullptr) return false;
  const std::optional<std::string> path = resolveDevicePath(devicePath);
  if (!path) return false;
  std::vector<std::string> words = splitCommandLine(commandLine != nullptr ? commandLine : "");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path->c_str()));
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  const pid_t child = fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return false;
  }
  if (child == 0) {
    ::close(report[0]);
    const pid_t program = fork();
    if (program == 0) execProgram(argv.data(), report[1]);
    _exit(program < 0 ? 1 : 0);
  }
  ::close(report[1]);
  return awaitStart(child, report[0]);
}

}  // namespace ce
