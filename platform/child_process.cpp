// The child process of child_process.h, started with posix_spawn (no code
// of ours runs between fork and exec) and always reaped by its owner.
#include "platform/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace ce {

void setEnvironment(const char* name, const std::string& value) {
  if (value.empty()) unsetenv(name);
  else setenv(name, value.c_str(), 1);
}

int startChild(const std::vector<std::string>& argv, const std::string& outputFile) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  errno = error;
  return error == 0 ? pid : -1;
}

bool childEnded(int pid, int& status) {
  int raw = 0;
  if (waitpid(pid, &raw, WNOHANG) != pid) return false;
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return true;
}

int stopChild(int pid, int timeoutMs) {
  int status = 0;
  kill(pid, SIGTERM);
  for (int waited = 0; !childEnded(pid, status); ++waited) {
    if (waited == timeoutMs) kill(pid, SIGKILL);
    usleep(1000);
  }
  return status;
}

}  // namespace ce
