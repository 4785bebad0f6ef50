// Links a tool puts in place of a device node for a while (crtctl replay's port):
// it tells its own link by the node itself, and makes links at unguessable names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// A link to `target` at `path`, never over anything: false with errno (EEXIST: taken).
bool makeLink(const std::string& target, const std::string& path);

// A new link to `target` named "<near>.<tag>-<12 random letters>", made
// exclusively (a taken name is left, another drawn): its path, or nullopt with errno.
std::optional<std::string> linkAtFreshName(const std::string& target, const std::string& near, std::string_view tag);

}  // namespace shub::os
