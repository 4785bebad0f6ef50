// Links a tool puts in place of a device node for a while (crtctl replay's
// COM7). Such a tool must take out only what it put there: so it asks what a
// node is now (the node itself, never what it leads to) to tell whether it is
// still the very link it made, and it makes its links at names nobody can
// guess or hold in advance.
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

  // The same link node, still leading where it did.
  bool sameLink(const NodeIdentity& other) const {
    return kind == Kind::link && other.kind == Kind::link && device == other.device && inode == other.inode &&
           target == other.target;
  }
};

NodeIdentity identifyNode(const std::string& path);

// A link to `target` at `path`, never over anything: false with errno
// (EEXIST when the name is taken).
bool makeLink(const std::string& target, const std::string& path);

// A new link to `target` beside `near`, named "<near>.<tag>-<12 random
// letters>" and made exclusively: a name something already holds is neither
// followed nor touched, another is drawn. Its path, or nullopt with errno.
std::optional<std::string> linkAtFreshName(const std::string& target, const std::string& near, std::string_view tag);

}  // namespace shub::os
