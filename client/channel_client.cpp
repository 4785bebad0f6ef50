// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Client side of the channel blocks: opening what the daemon made, copying
// frames out, and naming what lies in the object folder.
#include "client/channel_client.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "platform/paths.h"
#include "router/channel_blocks.h"

namespace shub::client {

namespace {

namespace fs = std::filesystem;

ObjectInfo describeObject(const fs::directory_entry& entry) {
  ObjectInfo info;
  info.name = entry.path().filename().string();
  std::error_code failure;
  if (!entry.is_regular_file(failure)) return info;
  info.size = entry.file_size(failure);
  if (failure) return info;
  info.kind = info.size == 0 ? ObjectKind::mutex : ObjectKind::block;
  if (info.size != SHUB_EVENT_SIZE) return info;
  uint32_t words[SHUB_EVENT_SIZE / 4] = {};
  std::ifstream file(entry.path(), std::ios::binary);
  if (file.read(reinterpret_cast<char*>(words), sizeof words) && words[SHUB_EVENT_MAGIC_OFFSET / 4] == SHUB_EVENT_MAGIC) {
    info.kind = ObjectKind::event;
    info.signalled = words[SHUB_EVENT_STATE_OFFSET / 4] != 0;
  }
  return info;
}

}  // namespace

std::string missingObject(const char* kind, const std::string& name) {
  const std::string folder = os::ceObjects();
  std::error_code failure;
  (void)fs::status(folder, failure);
  if (failure) return folder + ": " + failure.message() + " (is serialhub running?)";
  return std::string("no ") + kind + " " + name + " in " + folder + " (is serialhub running?)";
}

bool openChannel(int32_t channel, Channel& out, std::string& error) {
  char name[32];
  char eventName[32];
  router::channelBlockName(channel, name, sizeof name);
  router::channelEventName(channel, eventName, sizeof eventName);
  // Looked for first, to tell a missing block from one of another size.
  const std::optional<std::string> path = os::objectPath(name);
  std::error_code failure;
  const bool exists = path && fs::is_regular_file(*path, failure);
  const uintmax_t size = exists ? fs::file_size(*path, failure) : 0;
  if (!exists || failure) {
    error = missingObject("block", name);
    return false;
  }
  if (size != SHUB_BLOCK_SIZE) {
    error = std::string(name) + " is not a block of " + std::to_string(SHUB_BLOCK_SIZE) + " bytes";
    return false;
  }
  out.blockName = name;
  out.handle.reset(shub_channel_open(channel));
  if (!out.handle) {
    error = errno == ENOENT || errno == EINVAL ? missingObject("event", eventName) : name + std::string(": ") + std::strerror(errno);
    return false;
  }
  return true;
}

void readFrame(const uint8_t* block, Frame& frame) {
  std::memcpy(&frame.lengthWord, block + SHUB_BLOCK_LENGTH_OFFSET, sizeof frame.lengthWord);
  frame.length = std::min(frame.lengthWord, SHUB_BLOCK_DATA_SIZE);
  std::memcpy(frame.data, block + SHUB_BLOCK_DATA_OFFSET, SHUB_BLOCK_DATA_SIZE);
}

bool listObjects(std::vector<ObjectInfo>& objects, std::string& error) {
  objects.clear();
  const std::string folder = os::ceObjects();
  std::error_code failure;
  fs::directory_iterator it(folder, failure);
  if (failure) {
    error = "cannot read the object folder " + folder + ": " + failure.message();
    return false;
  }
  // Stepped by hand: the range-for form reports a failing step by throwing.
  for (; !failure && it != fs::directory_iterator(); it.increment(failure)) {
    if (it->path().filename().string().starts_with(".")) continue;
    objects.push_back(describeObject(*it));
  }
  std::sort(objects.begin(), objects.end(),
            [](const ObjectInfo& a, const ObjectInfo& b) { return a.name < b.name; });
  return true;
}

}  // namespace shub::client
