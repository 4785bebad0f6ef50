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

extern char** environ;

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

// The environment a started program gets: ours, without what tells a process
// that it is the service (it could announce readiness or feed the watchdog).
std::vector<char*> programEnvironment() {
  constexpr std::string_view kServiceOnly[] = {"NOTIFY_SOCKET=", "WATCHDOG_USEC=", "WATCHDOG_PID="};
  std::vector<char*> kept;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    bool serviceOnly = false;
    for (std::string_view prefix : kServiceOnly) serviceOnly |= text.starts_with(prefix);
    if (!serviceOnly) kept.push_back(*entry);
  }
  kept.push_back(nullptr);
  return kept;
}

// Runs in the grandchild: only async-signal-safe calls.
[[noreturn]] void execProgram(char* const* argv, char* const* envp, int reportFd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  signal(SIGCHLD, SIG_DFL);
  // Keep the report pipe (close-on-exec) until exec; close everything else.
  if (reportFd > 3) close_range(3, static_cast<unsigned>(reportFd) - 1, 0);
  close_range(static_cast<unsigned>(reportFd) + 1, UINT_MAX, 0);
  execve(argv[0], argv, envp);
  const int error = errno;
  (void)::write(reportFd, &error, sizeof error);
  _exit(127);
}

// The parent's half: reap the intermediate child, then learn from the pipe
// whether exec succeeded (end of file: it did).
bool awaitStart(pid_t child, int reportFd, int& error) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ssize_t n;
  do {
    n = ::read(reportFd, &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  ::close(reportFd);
  const bool started = WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
  if (!started && n != static_cast<ssize_t>(sizeof error)) error = EAGAIN;  // the second fork failed
  return started;
}

}  // namespace

bool startProgram(const char* devicePath, const char* commandLine, int* error) {
  int ignored = 0;
  int& failure = error != nullptr ? *error : ignored;
  failure = ENOENT;
  if (devicePath == nullptr) return false;
  const std::optional<std::string> path = resolveDevicePath(devicePath);
  if (!path) return false;
  failure = 0;
  std::vector<std::string> words = splitCommandLine(commandLine != nullptr ? commandLine : "");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path->c_str()));
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::vector<char*> envp = programEnvironment();

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    failure = errno;
    return false;
  }
  const pid_t child = fork();
  if (child < 0) {
    failure = errno;
    ::close(report[0]);
    ::close(report[1]);
    return false;
  }
  if (child == 0) {
    ::close(report[0]);
    const pid_t program = fork();
    if (program == 0) execProgram(argv.data(), envp.data(), report[1]);
    _exit(program < 0 ? 1 : 0);
  }
  ::close(report[1]);
  return awaitStart(child, report[0], failure);
}

}  // namespace ce
