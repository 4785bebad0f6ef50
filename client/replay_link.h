// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The pty a live `crtctl replay` plays into, linked where a daemon looks for
// its port ($CE_ROOT/dev/COM7, or --link).
//
// It leaves the device as it found it and never deletes what it did not
// make. A link it replaced (to the real line, say) is put back; a node that
// is not a link is never replaced. It takes out or replaces only the very
// link it made (the same node, leading to its pty): a link, file or folder
// someone else put there meanwhile stays, and is reported. Its own links are
// made at fresh random names, exclusively, so a name planted beside the link
// is never followed or removed. Only one replay plays into a folder at a
// time: a second one refuses to start, as its link would cut the first off
// from the daemon mid-capture and leave a link to a dead pty behind when the
// first ended; two streams into one port are no replay of anything.
//
// A replay killed outright leaves its link to a pty that is gone; the next
// replay replaces it and does not put it back.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/tool_files.h"
#include "platform/serial_port.h"
#include "platform/tool_files.h"

namespace shub::client {

enum class PtyFeed {
  done,      // the call did its job
  noReader,  // nobody held the slave open within the time given
  stopped,   // `*stop` became true first
  failed,    // `why` says why
};

// Waits up to `timeout` for an opener of the slave; looks at `stop` (may be
// null) at least every 10 ms.
PtyFeed waitForReader(const os::Pty& pty, std::chrono::milliseconds timeout, const std::atomic<bool>* stop);
// Writes all `count` bytes. A reader that does not take them makes it wait
// as long as it takes, but never past `stop`; while nobody holds the slave it
// waits up to `readerWait` for someone, as bytes written then are lost.
PtyFeed feedPty(const os::Pty& pty, const uint8_t* bytes, size_t count, std::chrono::milliseconds readerWait,
                const std::atomic<bool>* stop, std::string* why);

class ReplayLink {
 public:
  explicit ReplayLink(std::string link) : link_(std::move(link)) {}
  ~ReplayLink() { release(nullptr); }
  ReplayLink(const ReplayLink&) = delete;
  ReplayLink& operator=(const ReplayLink&) = delete;

  // Locks the link's folder against other replays, notes what the link
  // leads to, and links a new pty in its place. False with `why` said
  // nowhere yet; nothing is changed then.
  bool take(std::string* why);
  // A hang-up: a new pty behind the link, then the old one closes. False
  // when the link is no longer ours (it stays as it is then).
  bool replug(std::string* why);
  // Puts back what the link led to, or removes it, if it is still ours;
  // then the pty goes. What went otherwise is said on `err`.
  void release(FILE* err);

  const std::string& path() const { return link_; }
  const os::Pty& pty() const { return *pty_; }  // while taken

 private:
  bool stillOurs() const;
  // Puts a link to `target` in place of the node `expected`; `ours_` then
  // names it.
  bool swapIn(const std::string& target, const os::NodeIdentity& expected, std::string* why);

  std::string link_;
  std::string previous_;   // where the replaced link led; "" for none
  os::NodeIdentity ours_;  // the link we made, while there is one
  os::FolderLock lock_;
  std::unique_ptr<os::Pty> pty_;
};

}  // namespace shub::client
