#include "platform/scratch_folder.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace shub::os {

int ownProcessId() { return getpid(); }

std::optional<std::string> makePrivateFolder(std::string pathTemplate, std::string* why) {
  if (mkdtemp(pathTemplate.data()) != nullptr) return pathTemplate;
  if (why != nullptr) *why = std::strerror(errno);
  return std::nullopt;
}

bool isOwnFolder(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid();
}

bool processRuns(int pid) { return kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace shub::os
