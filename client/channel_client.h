// What another process of the device needs to use serialhub's channels: open
// a channel's block CRT<N> and event CRT<N>:EVENT, wait for a frame and copy
// it out, set and wait named events, and list the named objects. Bytes for
// the serial port go through libserialhub's shub_write().
//
// Clients only open objects the daemon made; they never create them, so a
// client started before the daemon (or for a channel the route file lacks)
// gets a clear error instead of a block nobody fills. The daemon rewrites a
// block while we read it; a copy may mix two frames but never reads outside
// the block, whatever its length word says.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/lock_record.h"
#include "platform/named_block.h"
#include "platform/named_event.h"
#include "router/channel_block.h"

namespace client {


// An open channel: its mapped block and its event.
struct Channel {
  std::string blockName;
  ce::NamedBlock block;
  uint8_t* address = nullptr;
  ce::NamedEvent* event = nullptr;
};

// A frame copied out of a block. `lengthWord` is what the block said;
// `length` is that clamped to the 260-byte data area.
struct Frame {
  uint32_t lengthWord = 0;
  uint32_t length = 0;
  uint8_t data[kBlockDataSize] = {};
};

// Every field of a 288-byte block, copied out.
struct BlockContents {
  Frame frame;
  uint32_t reserved = 0;
  ce::LockRecord lock{};
};

// Opens the existing block `name` (288 bytes) and, when `eventName` is not
// null, the existing event. False with a message in `error` when either is
// missing or unusable; `out` is then left closed.
bool openBlockAndEvent(const std::string& name, const char* eventName, Channel& out, std::string& error);

// Why the object `name` of `kind` ("block", "event") could not be had, naming
// the folder: a missing folder (no daemon made it yet) or one we may not read
// says so, instead of blaming the object.
std::string missingObject(const char* kind, const std::string& name);

// CRT<N> and CRT<N>:EVENT.
bool openChannel(int32_t channel, Channel& out, std::string& error);
void closeChannel(Channel& channel);

void readFrame(const uint8_t* block, Frame& frame);
void readBlock(const uint8_t* block, BlockContents& contents);

// Waits up to `timeoutMs` for the channel's event; on a signal copies the
// frame. The wait consumes the signal, as every consumer's does.
ce::WaitResult waitFrame(Channel& channel, uint32_t timeoutMs, Frame& frame);

bool setNamedEvent(const std::string& name, std::string& error);
// WaitResult::failed, with `error` set, when there is no such event.
ce::WaitResult waitNamedEvent(const std::string& name, uint32_t timeoutMs, std::string& error);

enum class ObjectKind { block, event, mutex, other };

struct ObjectInfo {
  std::string name;
  ObjectKind kind = ObjectKind::other;
  uint64_t size = 0;       // bytes, for blocks
  bool signalled = false;  // for events
};

// The named objects in $CE_OBJECTS, sorted by name, dot files skipped. An
// 8-byte file carrying the event magic is an event, an empty file a mutex,
// any other regular file a block. False when the folder cannot be read.
bool listObjects(std::vector<ObjectInfo>& objects, std::string& error);

}  // namespace client
