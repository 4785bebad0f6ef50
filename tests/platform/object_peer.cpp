// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The other process of the cross-process tests. It meets the test only
// through named objects, its arguments and its exit code:
//   object_peer write BLOCK TEXT      put TEXT in BLOCK as a frame, set BLOCK:EVENT
//   object_peer expect BLOCK TEXT     exit 0 when BLOCK holds the frame TEXT
//   object_peer set EVENT COUNT       set EVENT COUNT times
//   object_peer wait EVENT MS         exit with the wait's result (see below)
//   object_peer mutex NAME            print 1 or 0 (name already held), hold it
//                                     until standard input closes
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "platform/named_objects.h"

namespace {

constexpr uint32_t kBlockSize = 288;
constexpr uint32_t kDataOffset = 8;
constexpr int kFailed = 3;

int writeFrame(const char* name, const char* text) {
  shub::os::Block block = shub::os::openOrCreateBlock(name, kBlockSize);
  uint8_t* bytes = block.data();
  if (!bytes) return kFailed;
  const uint32_t length = static_cast<uint32_t>(std::strlen(text));
  std::memcpy(bytes + kDataOffset, text, length);
  std::memcpy(bytes, &length, sizeof length);
  shub::os::Event event = shub::os::Event::create(std::string(name) + ":EVENT");
  event.signal();
  return event.valid() ? 0 : kFailed;
}

int expectFrame(const char* name, const char* text) {
  shub::os::Block block = shub::os::openOrCreateBlock(name, kBlockSize);
  uint8_t* bytes = block.data();
  if (!bytes) return kFailed;
  uint32_t length = 0;
  std::memcpy(&length, bytes, sizeof length);
  const bool same = length == std::strlen(text) && std::memcmp(bytes + kDataOffset, text, length) == 0;
  return same ? 0 : 1;
}

int setTimes(const char* name, int count) {
  shub::os::Event event = shub::os::Event::open(name);
  if (!event.valid()) return kFailed;
  for (int i = 0; i < count; ++i) event.signal();
  return 0;
}

// Exit code: 0 signalled, 1 time-out, 2 stopped, 3 failed.
int waitOnce(const char* name, uint32_t ms) {
  shub::os::Event event = shub::os::Event::open(name);
  if (!event.valid()) return kFailed;
  const shub::os::WaitResult result = event.wait(std::chrono::milliseconds(ms));
  return static_cast<int>(result);
}

int holdMutex(const char* name) {
  const shub::os::InstanceLock lock(name);
  if (!lock.valid()) return kFailed;
  std::printf("%d\n", lock.heldElsewhere() ? 1 : 0);
  std::fflush(stdout);
  char byte;
  while (read(STDIN_FILENO, &byte, 1) > 0) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 64;
  const std::string command = argv[1];
  if (command == "write" && argc == 4) return writeFrame(argv[2], argv[3]);
  if (command == "expect" && argc == 4) return expectFrame(argv[2], argv[3]);
  if (command == "set" && argc == 4) return setTimes(argv[2], std::atoi(argv[3]));
  if (command == "wait" && argc == 4) return waitOnce(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
  if (command == "mutex" && argc == 3) return holdMutex(argv[2]);
  return 64;
}
