// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Channel blocks: their names, the lock record in every block, creation that
// stops at the first block that cannot be made, release, and shared blocks
// for entries with one channel number. Each test has its own object folder.
#include "router/channel_blocks.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/named_objects.h"
#include "router/channel_block.h"
#include "tests/support/device_sandbox.h"

using namespace shub::router;

namespace {

namespace fs = std::filesystem;

TEST(ChannelNames, FormatsSignedDecimal) {
  struct Case {
    int32_t channel;
    const char* block;
    const char* event;
  };
  const Case cases[] = {{12, "CRT12", "CRT12:EVENT"},
                        {-1, "CRT-1", "CRT-1:EVENT"},
                        {0, "CRT0", "CRT0:EVENT"},
                        {INT32_MIN, "CRT-2147483648", "CRT-2147483648:EVENT"}};
  for (const Case& c : cases) {
    char name[260];
    std::memset(name, 'x', sizeof name);
    channelBlockName(c.channel, name, sizeof name);
    EXPECT_STREQ(name, c.block);
    EXPECT_EQ(name[sizeof name - 1], '\0') << "the buffer is zero-filled first";
    channelEventName(c.channel, name, sizeof name);
    EXPECT_STREQ(name, c.event);
  }
}

TEST(ChannelNames, TruncatesToTheBuffer) {
  char name[8];
  std::memset(name, 'x', sizeof name);
  channelEventName(12, name, 6);
  EXPECT_STREQ(name, "CRT12");
  EXPECT_EQ(name[6], 'x') << "nothing written past the given size";
}

class ChannelBlocks : public ::testing::Test {
 protected:
  void addEntries(std::initializer_list<int32_t> channels) {
    for (int32_t channel : channels) table.entries[table.count++].channel = channel;
  }

  std::vector<uint8_t> lockArea(const uint8_t* block) const {
    std::vector<uint8_t> bytes(SHUB_BLOCK_LOCK_SIZE);
    loadBlockBytes(block, SHUB_BLOCK_LOCK_OFFSET, bytes.data(), SHUB_BLOCK_LOCK_SIZE);
    return bytes;
  }

  // Unowned: zeros, then the magic "LOCK".
  std::vector<uint8_t> lockBytes() const { return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'L', 'O', 'C', 'K'}; }

  bool objectExists(const std::string& name) const { return fs::exists(sandbox.objects() + "/" + name); }

  testing_support::DeviceSandbox sandbox;
  RouteTable table;
};

TEST_F(ChannelBlocks, EveryEntryGetsBlockEventAndLockRecord) {
  addEntries({1, 2, 4});
  const ChannelSet channels(table);
  for (uint32_t i = 0; i < table.count; ++i) {
    const std::string name = "CRT" + std::to_string(table.entries[i].channel);
    SCOPED_TRACE(name);
    ASSERT_NE(channels.block(i), nullptr);
    EXPECT_EQ(lockArea(channels.block(i)), lockBytes());
    EXPECT_EQ(fs::file_size(sandbox.objects() + "/" + name), SHUB_BLOCK_SIZE);
    shub::os::Event event = shub::os::Event::open(name + ":EVENT");
    EXPECT_TRUE(event.valid());
    EXPECT_EQ(event.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout) << "created not signalled";
  }
  EXPECT_EQ(channels.block(table.count), nullptr);
}

TEST_F(ChannelBlocks, ExistingBlockKeepsItsFramesAndGetsAFreshLockRecord) {
  shub::os::Block earlier = shub::os::openOrCreateBlock("CRT7", SHUB_BLOCK_SIZE);
  uint8_t* address = earlier.data();
  ASSERT_NE(address, nullptr);
  const uint8_t frame[] = {0xAA, 0x55, 0x01};
  storeBlockLength(address, 3);
  storeBlockBytes(address, SHUB_BLOCK_DATA_OFFSET, frame, sizeof frame);
  fillBlockBytes(address, SHUB_BLOCK_LOCK_OFFSET, 0x5A, SHUB_BLOCK_LOCK_SIZE);

  addEntries({7});
  const ChannelSet channels(table);
  ASSERT_NE(channels.block(0), nullptr);
  EXPECT_EQ(loadBlockLength(channels.block(0)), 3u);
  EXPECT_EQ(loadBlockByte(channels.block(0), SHUB_BLOCK_DATA_OFFSET + 2), 0x01);
  EXPECT_EQ(lockArea(channels.block(0)), lockBytes());
}

TEST_F(ChannelBlocks, CreationStopsAtTheFirstBlockThatCannotBeMade) {
  struct Obstacle {
    const char* legend;
    void (*make)(const std::string& path);
  };
  const Obstacle obstacles[] = {
      {"a file of the wrong size", [](const std::string& path) { testing_support::writeHostFile(path, "short"); }},
      {"a directory", [](const std::string& path) { fs::create_directories(path); }},
  };
  for (const Obstacle& obstacle : obstacles) {
    SCOPED_TRACE(obstacle.legend);
    testing_support::DeviceSandbox own;  // a fresh object folder per obstacle
    RouteTable local;
    for (int32_t channel : {1, 2, 4, 5}) local.entries[local.count++].channel = channel;
    obstacle.make(own.objects() + "/CRT4");

    const ChannelSet channels(local);
    EXPECT_NE(channels.block(0), nullptr);
    EXPECT_NE(channels.block(1), nullptr);
    for (uint32_t i = 2; i < local.count; ++i) EXPECT_EQ(channels.block(i), nullptr) << i;
    EXPECT_FALSE(fs::exists(own.objects() + "/CRT5")) << "later entries are not even tried";
    EXPECT_FALSE(fs::exists(own.objects() + "/CRT4:EVENT"));
  }
}

TEST_F(ChannelBlocks, EntriesWithOneChannelShareBlockAndEvent) {
  addEntries({3, 3});
  ChannelSet channels(table);
  ASSERT_NE(channels.block(0), nullptr);
  ASSERT_NE(channels.block(1), nullptr);
  storeBlockByte(channels.block(0), SHUB_BLOCK_DATA_OFFSET, 0x42);
  EXPECT_EQ(loadBlockByte(channels.block(1), SHUB_BLOCK_DATA_OFFSET), 0x42);
  shub::os::Event consumer = shub::os::Event::open("CRT3:EVENT");
  channels.signal(0);
  EXPECT_EQ(consumer.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::signalled);
  EXPECT_EQ(consumer.wait(std::chrono::milliseconds(0)), shub::os::WaitResult::timeout) << "one signal, consumed once";
  channels = ChannelSet();
  EXPECT_EQ(channels.block(0), nullptr);
  EXPECT_TRUE(objectExists("CRT3")) << "the objects outlive the daemon";
  EXPECT_TRUE(objectExists("CRT3:EVENT"));
}

}  // namespace
