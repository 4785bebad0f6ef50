// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// What a tool needs of the OS for the files it owns for a while: scratch folders
// (client/scratch_folder.h), folder locks, and links put in place of a device node
// (crtctl replay's port), told apart by the node itself and named unguessably.
// And crtctl top's terminal: its width, and keys one at a time without echo, Ctrl-C kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct termios;

namespace shub::os {

int ownProcessId();

// Makes a folder of mode 0700 from `pathTemplate`, whose last six characters
// are XXXXXX: its path, or nullopt with `why`.
std::optional<std::string> makePrivateFolder(std::string pathTemplate, std::string* why);

// A real folder (not a link) that belongs to our user.
bool isOwnFolder(const std::string& path);

// Process `pid` runs in our pid namespace, ours or not.
bool processRuns(int pid);

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

// An advisory lock on a folder for tools that must not act on one folder
// twice at once (crtctl replay on a device's dev/ folder, and on its own
// temporary folder, which a sweep of leftovers must then leave alone). The
// kernel lets it go when its process ends, however it ends.
class FolderLock {
 public:
  FolderLock() = default;
  ~FolderLock() { unlock(); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Takes the lock of the real folder `folder` (a link there is not followed)
  // without waiting. False with errno: EWOULDBLOCK when another holds it.
  bool tryLock(const std::string& folder);
  void unlock();

 private:
  int fd_ = -1;
};

bool isTerminal(int fd);

// Columns of the terminal on `fd`; 0 when it is none or does not say.
uint32_t terminalColumns(int fd);

// Echo and line editing off on terminal `fd` (signals kept) while it lives, then
// what it found put back; inactive when `fd` is none.
class KeyMode {
 public:
  explicit KeyMode(int fd);
  ~KeyMode();
  bool active() const { return saved_ != nullptr; }

 private:
  int fd_;
  std::unique_ptr<termios> saved_;
};

inline constexpr int kNoKey = -1;      // time ran out, or a signal came
inline constexpr int kInputGone = -2;  // the input ended or failed: waiting again would spin

// Waits up to `timeoutMs` for a key on `fd`: the key's byte, kNoKey or kInputGone.
int waitKey(int fd, int timeoutMs);

}  // namespace shub::os
