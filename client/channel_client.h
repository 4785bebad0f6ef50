// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// What crtctl needs to use serialhub's channels like any other process: open
// a channel through libserialhub, cut a frame out of a copy of its block, and
// list the named objects.
//
// Clients only open objects the daemon made, never create them, so a client
// started before the daemon (or for a channel the route file lacks) gets a
// clear error instead of a block nobody fills.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <serialhub/channel.h>

namespace shub::client {

// An open channel: its block and its event.
struct Channel {
  std::string blockName;
  std::unique_ptr<shub_channel, decltype(&shub_channel_close)> handle{nullptr, shub_channel_close};
};

// A frame copied out; `length` is the block's length word clamped to the data area.
struct Frame {
  uint32_t lengthWord = 0;
  uint32_t length = 0;
  uint8_t data[SHUB_BLOCK_DATA_SIZE] = {};
};

// Opens the existing block CRT<N> and event CRT<N>:EVENT. False with the
// reason in `error`.
bool openChannel(int32_t channel, Channel& out, std::string& error);

// Why the object `name` of `kind` ("block", "event") could not be had: a
// missing or unreadable folder (no daemon made it yet) is named as such.
std::string missingObject(const char* kind, const std::string& name);

// The frame of a copy of the whole block (SHUB_BLOCK_SIZE bytes).
void readFrame(const uint8_t* block, Frame& frame);

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

}  // namespace shub::client
