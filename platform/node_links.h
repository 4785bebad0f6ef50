// Links a tool puts in place of a device node for a while (crtctl replay's port):
// it tells its own link by the node itself, and draws unguessable names for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace shub::os {

struct NodeIdentity {
  enum class Kind {
    missing,  // nothing has the name
    link,     // a symbolic link; target holds its contents
    other,    // a file, a folder, a device: anything but a link
    unknown,  // it could not be looked at; error says why
  };
  Kind kind = Kind::missing;
  uint64_t device = 0, inode = 0;  // of the node itself
  std::string target;
  int error = 0;
};

NodeIdentity identifyNode(const std::string& path);

// `count` letters and digits from the kernel's random source; nullopt with errno.
std::optional<std::string> randomLetters(size_t count);

}  // namespace shub::os
