// Program start for a daemon that never waits for what it starts. A double
// fork: the intermediate child spawns the program and exits at once with the
// spawn's error as its status; it is reaped here, and the program by init (or
// the nearest subreaper), so no zombie piles up and no SIGCHLD handler is
// needed. Other threads may hold locks at the fork: the child only spawns
// (posix_spawn without a path search allocates nothing) and exits.
#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "platform/paths.h"

extern char** environ;

namespace ce {

bool startProgram(const char* devicePath, const char* commandLine, int* error) {
  int ignored = 0;
  int& failure = error != nullptr ? *error : ignored;
  const std::optional<std::string> path = devicePath != nullptr ? resolveDevicePath(devicePath) : std::nullopt;
  if (!path) {
    failure = ENOENT;
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
  failure = errno;  // fork's, should it have failed
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (child < 0) return false;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  failure = WIFEXITED(status) ? WEXITSTATUS(status) : EAGAIN;
  return failure == 0;
}

}  // namespace ce
