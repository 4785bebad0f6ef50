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

#include "platform/named_event.h"
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
  ChannelBlocks() { shub::os::initLockRecord(lock); }

  void TearDown() override { releaseChannelBlocks(table); }

  void addEntries(std::initializer_list<int32_t> channels) {
    for (int32_t channel : channels) table.entries[table.count++].channel = channel;
  }

  std::vector<uint8_t> lockArea(const RouteEntry& entry) const {
    std::vector<uint8_t> bytes(kBlockLockSize);
    loadBlockBytes(entry.blockAddress, kBlockLockOffset, bytes.data(), kBlockLockSize);
    return bytes;
  }

  std::vector<uint8_t> lockBytes() const {
    const auto* begin = reinterpret_cast<const uint8_t*>(&lock);
    return {begin, begin + sizeof lock};
  }

  bool objectExists(const std::string& name) const { return fs::exists(sandbox.objects() + "/" + name); }

  testing_support::DeviceSandbox sandbox;
  shub::os::LockRecord lock{};
  RouteTable table;
};

TEST_F(ChannelBlocks, EveryEntryGetsBlockEventAndLockRecord) {
  addEntries({1, 2, 4});
  createChannelBlocks(table, lock);
  for (uint32_t i = 0; i < table.count; ++i) {
    const RouteEntry& entry = table.entries[i];
    SCOPED_TRACE(entry.channel);
    ASSERT_NE(entry.blockAddress, nullptr);
    EXPECT_TRUE(entry.block.valid());
    EXPECT_NE(entry.event, nullptr);
    EXPECT_EQ(lockArea(entry), lockBytes());
    const std::string name = "CRT" + std::to_string(entry.channel);
    EXPECT_EQ(fs::file_size(sandbox.objects() + "/" + name), kChannelBlockSize);
    shub::os::NamedEvent* event = shub::os::openEvent((name + ":EVENT").c_str());
    EXPECT_NE(event, nullptr);
    EXPECT_EQ(shub::os::waitEvent(event, 0), shub::os::WaitResult::timeout) << "created not signalled";
    shub::os::closeEvent(event);
  }
}

TEST_F(ChannelBlocks, ExistingBlockKeepsItsFramesAndGetsAFreshLockRecord) {
  shub::os::NamedBlock earlier = shub::os::openOrCreateBlock("CRT7", kChannelBlockSize);
  uint8_t* address = shub::os::mapBlock(earlier);
  ASSERT_NE(address, nullptr);
  const uint8_t frame[] = {0xAA, 0x55, 0x01};
  storeBlockLength(address, 3);
  storeBlockBytes(address, kBlockDataOffset, frame, sizeof frame);
  fillBlockBytes(address, kBlockLockOffset, 0x5A, kBlockLockSize);

  addEntries({7});
  createChannelBlocks(table, lock);
  ASSERT_NE(table.entries[0].blockAddress, nullptr);
  EXPECT_EQ(loadBlockLength(table.entries[0].blockAddress), 3u);
  EXPECT_EQ(loadBlockByte(table.entries[0].blockAddress, kBlockDataOffset + 2), 0x01);
  EXPECT_EQ(lockArea(table.entries[0]), lockBytes());
  shub::os::unmapBlock(address, kChannelBlockSize);
  shub::os::closeBlock(earlier);
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

    createChannelBlocks(local, lock);
    EXPECT_NE(local.entries[0].blockAddress, nullptr);
    EXPECT_NE(local.entries[1].blockAddress, nullptr);
    for (uint32_t i = 2; i < local.count; ++i) {
      EXPECT_EQ(local.entries[i].blockAddress, nullptr) << i;
      EXPECT_FALSE(local.entries[i].block.valid()) << i;
      EXPECT_EQ(local.entries[i].event, nullptr) << i;
    }
    EXPECT_FALSE(fs::exists(own.objects() + "/CRT5")) << "later entries are not even tried";
    EXPECT_FALSE(fs::exists(own.objects() + "/CRT4:EVENT"));
    releaseChannelBlocks(local);
  }
}

TEST_F(ChannelBlocks, ReleaseClearsTheEntriesAndLeavesTheObjects) {
  addEntries({3, 8});
  createChannelBlocks(table, lock);
  releaseChannelBlocks(table);
  for (uint32_t i = 0; i < table.count; ++i) {
    EXPECT_EQ(table.entries[i].blockAddress, nullptr);
    EXPECT_FALSE(table.entries[i].block.valid());
    EXPECT_EQ(table.entries[i].event, nullptr);
  }
  EXPECT_TRUE(objectExists("CRT3"));
  EXPECT_TRUE(objectExists("CRT8:EVENT"));
  releaseChannelBlocks(table);  // a second release finds nothing to do
}

TEST_F(ChannelBlocks, EntriesWithOneChannelShareBlockAndEvent) {
  addEntries({3, 3});
  createChannelBlocks(table, lock);
  RouteEntry& first = table.entries[0];
  RouteEntry& second = table.entries[1];
  ASSERT_NE(first.blockAddress, nullptr);
  ASSERT_NE(second.blockAddress, nullptr);
  storeBlockByte(first.blockAddress, kBlockDataOffset, 0x42);
  EXPECT_EQ(loadBlockByte(second.blockAddress, kBlockDataOffset), 0x42);
  ASSERT_TRUE(shub::os::setEvent(first.event));
  EXPECT_EQ(shub::os::waitEvent(second.event, 0), shub::os::WaitResult::signalled);
  EXPECT_EQ(shub::os::waitEvent(first.event, 0), shub::os::WaitResult::timeout) << "one signal, consumed once";
}

}  // namespace
