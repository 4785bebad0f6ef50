// Client side of the channel blocks: opening what the daemon made, copying
// frames out, handing bytes to the serial writer, and naming what lies in the
// object folder. See channel_client.h for what it must survive.
#include "client/channel_client.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/paths.h"
#include "router/channel_blocks.h"

namespace client {

namespace {

namespace fs = std::filesystem;

uint32_t littleEndianWord(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

// True when `name` is a regular file in the object folder. Checked first
// because the platform's open also creates, and a client must not make a
// block that no daemon will ever fill.
bool objectFileExists(const std::string& name, uint64_t* size) {
  const std::optional<std::string> path = ce::objectPath(name);
  if (!path) return false;
  std::error_code failure;
  if (!fs::is_regular_file(*path, failure)) return false;
  if (size) *size = fs::file_size(*path, failure);
  return !failure;
}

ObjectInfo describeObject(const fs::directory_entry& entry) {
  ObjectInfo info;
  info.name = entry.path().filename().string();
  std::error_code failure;
  if (!entry.is_regular_file(failure)) return info;
  info.size = entry.file_size(failure);
  if (failure) return info;
  if (info.size == 0) {
    info.kind = ObjectKind::mutex;
    return info;
  }
  info.kind = ObjectKind::block;
  if (info.size != SHUB_EVENT_SIZE) return info;
  uint8_t bytes[SHUB_EVENT_SIZE] = {};
  std::ifstream file(entry.path(), std::ios::binary);
  if (file.read(reinterpret_cast<char*>(bytes), sizeof bytes) && littleEndianWord(bytes + SHUB_EVENT_MAGIC_OFFSET) == SHUB_EVENT_MAGIC) {
    info.kind = ObjectKind::event;
    info.signalled = littleEndianWord(bytes) != 0;
  }
  return info;
}

}  // namespace

std::string missingObject(const char* kind, const std::string& name) {
  const std::string folder = ce::ceObjects();
  std::error_code failure;
  (void)fs::status(folder, failure);
  if (failure) return folder + ": " + failure.message() + " (is serialhub running?)";
  return std::string("no ") + kind + " " + name + " in " + folder + " (is serialhub running?)";
}

bool openBlockAndEvent(const std::string& name, const char* eventName, Channel& out, std::string& error) {
  out = Channel{};
  uint64_t size = 0;
  if (!objectFileExists(name, &size)) {
    error = missingObject("block", name);
    return false;
  }
  if (size != kChannelBlockSize) {
    error = name + " is not a block of " + std::to_string(kChannelBlockSize) + " bytes";
    return false;
  }
  Channel channel;
  channel.blockName = name;
  channel.block = ce::openOrCreateBlock(name, kChannelBlockSize);
  channel.address = channel.block.valid() ? ce::mapBlock(channel.block) : nullptr;
  if (channel.address == nullptr) {
    error = "cannot map block " + name;
    closeChannel(channel);
    return false;
  }
  if (eventName != nullptr) {
    channel.event = ce::openEvent(eventName);
    if (channel.event == nullptr) {
      error = missingObject("event", eventName);
      closeChannel(channel);
      return false;
    }
  }
  out = std::move(channel);
  return true;
}

bool openChannel(int32_t channel, Channel& out, std::string& error) {
  char blockName[32];
  char eventName[32];
  channelBlockName(channel, blockName, sizeof blockName);
  channelEventName(channel, eventName, sizeof eventName);
  return openBlockAndEvent(blockName, eventName, out, error);
}

void closeChannel(Channel& channel) {
  if (channel.address) ce::unmapBlock(channel.address, kChannelBlockSize);
  ce::closeBlock(channel.block);
  ce::closeEvent(channel.event);
  channel = Channel{};
}

void readFrame(const uint8_t* block, Frame& frame) {
  frame.lengthWord = loadBlockLength(block);
  frame.length = std::min(frame.lengthWord, kBlockDataSize);
  loadBlockBytes(block, kBlockDataOffset, frame.data, kBlockDataSize);
}

void readBlock(const uint8_t* block, BlockContents& contents) {
  readFrame(block, contents.frame);
  uint8_t bytes[kBlockLockSize];
  loadBlockBytes(block, 4, bytes, 4);
  contents.reserved = littleEndianWord(bytes);
  loadBlockBytes(block, kBlockLockOffset, bytes, kBlockLockSize);
  const uint8_t* word = bytes;
  contents.lock.lockWord = littleEndianWord(word);
  contents.lock.recursion = littleEndianWord(word + 4);
  contents.lock.waiters = littleEndianWord(word + 8);
  contents.lock.reserved = littleEndianWord(word + 12);
  contents.lock.magic = littleEndianWord(word + 16);
}

ce::WaitResult waitFrame(Channel& channel, uint32_t timeoutMs, Frame& frame) {
  const ce::WaitResult result = ce::waitEvent(channel.event, timeoutMs);
  if (result == ce::WaitResult::signalled) readFrame(channel.address, frame);
  return result;
}

bool setNamedEvent(const std::string& name, std::string& error) {
  ce::NamedEvent* event = ce::openEvent(name.c_str());
  if (event == nullptr) {
    error = missingObject("event", name);
    return false;
  }
  const bool set = ce::setEvent(event);
  if (!set) error = "cannot set " + name;
  ce::closeEvent(event);
  return set;
}

ce::WaitResult waitNamedEvent(const std::string& name, uint32_t timeoutMs, std::string& error) {
  ce::NamedEvent* event = ce::openEvent(name.c_str());
  if (event == nullptr) {
    error = missingObject("event", name);
    return ce::WaitResult::failed;
  }
  const ce::WaitResult result = ce::waitEvent(event, timeoutMs);
  ce::closeEvent(event);
  return result;
}

bool listObjects(std::vector<ObjectInfo>& objects, std::string& error) {
  objects.clear();
  const std::string folder = ce::ceObjects();
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

}  // namespace client
