// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// See replay_link.h. Every change to the link is checked just before it is
// made: what is there must be what we mean to replace, compared by the node
// itself (device, inode) and what it leads to.
#include "client/replay_link.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "client/tool.h"

namespace fs = std::filesystem;

namespace shub::client {

namespace {

using Kind = os::NodeIdentity::Kind;

std::string changedMeanwhile(const std::string& link) {
  return link + ": changed by someone else during the replay; left as it is";
}

// The same link node as before, still leading where it did.
bool sameLink(const os::NodeIdentity& a, const os::NodeIdentity& b) {
  return a.kind == Kind::link && b.kind == Kind::link && a.device == b.device && a.inode == b.inode &&
         a.target == b.target;
}

// A new link to `target` named "<near>.replay-<12 random letters>", made
// exclusively (a taken name is left, another drawn): its path, or nullopt with `failure`.
std::optional<std::string> linkAtFreshName(const std::string& target, const std::string& near, std::error_code& failure) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    failure.clear();  // a failed draw says its errno
    const std::optional<std::string> letters = os::randomLetters(12);
    if (!letters) return std::nullopt;
    std::string path = near + ".replay-" + *letters;
    fs::create_symlink(target, path, failure);
    if (!failure) return path;
    if (failure != std::errc::file_exists) return std::nullopt;
  }
  return std::nullopt;
}

bool stopped(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(std::memory_order_relaxed); }

}  // namespace

PtyFeed waitForReader(const os::Pty& pty, std::chrono::milliseconds timeout, const std::atomic<bool>* stop) {
  // A hang-up shows on the master until a reader comes: there is no event to wait on.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pty.hasReader()) {
    if (stopped(stop)) return PtyFeed::stopped;
    if (std::chrono::steady_clock::now() >= deadline) return PtyFeed::noReader;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return stopped(stop) ? PtyFeed::stopped : PtyFeed::done;
}

PtyFeed feedPty(const os::Pty& pty, const uint8_t* bytes, size_t count, std::chrono::milliseconds readerWait,
                const std::atomic<bool>* stop, std::string* why) {
  while (count > 0) {
    if (stopped(stop)) return PtyFeed::stopped;
    if (const PtyFeed reader = waitForReader(pty, readerWait, stop); reader != PtyFeed::done) return reader;
    const std::optional<size_t> taken = pty.writeSome(bytes, count, why);
    if (!taken) return PtyFeed::failed;
    bytes += *taken;
    count -= *taken;
    // Room, a hang-up, a signal or the time to look at `stop` again.
    if (*taken == 0) pty.waitForRoom(std::chrono::milliseconds(100));
  }
  return PtyFeed::done;
}

bool ReplayLink::take(std::string* why) {
  std::error_code failure;
  const fs::path parent = fs::path(link_).parent_path();
  const fs::path folder = fs::canonical(parent.empty() ? fs::path(".") : parent, failure);
  if (failure) return refuse(why, parent.string() + ": " + failure.message());
  if (!lock_.tryLock(folder.string())) {
    return refuse(why, errno == EWOULDBLOCK
                           ? link_ + ": another crtctl replay plays into " + folder.string() + "; not started"
                           : folder.string() + ": " + std::strerror(errno));
  }
  const os::NodeIdentity before = os::identifyNode(link_);
  if (before.kind == Kind::unknown || before.kind == Kind::other) {
    refuse(why, link_ + ": " + (before.kind == Kind::other ? "exists and is not a link; not replaced"
                                                           : std::string(std::strerror(before.error))));
  } else if (std::string noPty; !(pty_ = os::Pty::open(&noPty))) {
    refuse(why, "no pty: " + noPty);
  } else {
    // A link to nothing (a pty gone) is not put back: its name may later
    // belong to another pty, which the daemon would then take for its line.
    if (before.kind == Kind::link && fs::exists(link_, failure)) previous_ = before.target;
    if (swapIn(pty_->slave(), before, why)) return true;
    previous_.clear();
  }
  pty_.reset();
  lock_.unlock();
  return false;
}

bool ReplayLink::replug(std::string* why) {
  if (!stillOurs()) return refuse(why, changedMeanwhile(link_));
  std::string noPty;
  std::unique_ptr<os::Pty> fresh = os::Pty::open(&noPty);
  if (!fresh) return refuse(why, "no pty: " + noPty);
  const os::NodeIdentity old = ours_;
  if (!swapIn(fresh->slave(), old, why)) return false;
  // Linked first, closed after: the daemon, hung up, finds the new pty.
  pty_ = std::move(fresh);
  return true;
}

void ReplayLink::release(FILE* err) {
  std::string problem;
  if (ours_.kind == Kind::link) {
    const fs::path previous = fs::path(link_).parent_path() / previous_;  // a relative link reads from there
    std::error_code failure;
    if (!stillOurs()) {
      problem = changedMeanwhile(link_);
    } else if (!previous_.empty() && fs::exists(previous, failure)) {
      swapIn(previous_, ours_, &problem);
    } else {
      if (!previous_.empty()) problem = link_ + ": what it led to, " + previous_ + ", is gone; not put back";
      if (!fs::remove(link_, failure) && failure) problem = link_ + ": " + failure.message();
    }
  }
  // The link goes before the pty, so a daemon looking for its lost port
  // never takes a pty it was not meant to under the same name.
  ours_ = {};
  previous_.clear();
  pty_.reset();
  lock_.unlock();
  if (err != nullptr && !problem.empty()) std::fprintf(err, "crtctl replay: %s\n", problem.c_str());
}

bool ReplayLink::stillOurs() const { return pty_ && ours_.target == pty_->slave() && sameLink(os::identifyNode(link_), ours_); }

bool ReplayLink::swapIn(const std::string& target, const os::NodeIdentity& expected, std::string* why) {
  std::error_code failure;
  if (expected.kind == Kind::missing) {
    if (fs::create_symlink(target, link_, failure); failure) {
      return refuse(why, link_ + ": " + (failure == std::errc::file_exists ? "appeared meanwhile; left as it is"
                                                                           : failure.message()));
    }
  } else {
    // Made aside, then renamed over the old link at once: the daemon never
    // finds the name missing.
    const std::optional<std::string> fresh = linkAtFreshName(target, link_, failure);
    if (!fresh) {
      return refuse(why, link_ + ": no link beside it: " + (failure ? failure.message() : std::strerror(errno)));
    }
    const bool same = sameLink(os::identifyNode(link_), expected);
    if (same) fs::rename(*fresh, link_, failure);
    if (!same || failure) {
      const std::string problem = same ? link_ + ": " + failure.message() : changedMeanwhile(link_);
      fs::remove(*fresh, failure);
      return refuse(why, problem);
    }
  }
  ours_ = os::identifyNode(link_);
  if (ours_.kind == Kind::link && ours_.target == target) return true;
  ours_ = {};
  return refuse(why, changedMeanwhile(link_));
}

}  // namespace shub::client
