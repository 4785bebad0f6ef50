// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Route file parsing: single lines as a table (legend, line, entry expected or
// rejection), then whole files (comments, CR LF, long lines, the table limit,
// the message bytes on the message stream).
#include "router/route_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/device_sandbox.h"
#include "tests/support/text.h"

using namespace shub::router;

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kMessage = "\xD6\xB8\xD5\xEB\xD2\xEC\xB3\xA3\r\n";

struct Expected {
  int32_t channel = 0;
  Bytes header;         // leading bytes; the rest of the pattern is 0
  Bytes secondPattern;  // likewise
  uint32_t headerLength = 0;
  uint16_t relearn = 0;
  uint16_t relearnAux = 0;
  int32_t frameLength = 0;
  std::string text;
};

struct LineCase {
  const char* legend;
  std::string line;
  bool accepted;
  Expected entry;  // ignored when rejected
};

// An entry full of bytes no line produces, so that both a rejected line (which
// must leave it alone) and an accepted one (which must replace every parsed
// field) show what they touched.
RouteEntry sentinelEntry() {
  RouteEntry entry;
  entry.channel = 777;
  entry.frameLength = 99;
  std::memset(entry.header, 0xEE, sizeof entry.header);
  std::memset(entry.secondPattern, 0xDD, sizeof entry.secondPattern);
  std::memset(entry.text, 'Z', sizeof entry.text);
  entry.relearn = 0x1111;
  entry.relearnAux = 0x2222;
  return entry;
}

Bytes padded(const Bytes& leading, size_t size) {
  Bytes out(size, 0);
  std::copy(leading.begin(), leading.end(), out.begin());
  return out;
}

void expectEntry(const RouteEntry& entry, const Expected& want) {
  EXPECT_EQ(entry.channel, want.channel);
  EXPECT_EQ(Bytes(entry.header, entry.header + kPatternSize), padded(want.header, kPatternSize));
  EXPECT_EQ(Bytes(entry.secondPattern, entry.secondPattern + kPatternSize),
            padded(want.secondPattern, kPatternSize));
  EXPECT_EQ(headerLength(entry), want.headerLength);
  EXPECT_EQ(entry.relearn, want.relearn);
  EXPECT_EQ(entry.relearnAux, want.relearnAux);
  EXPECT_EQ(entry.frameLength, want.frameLength);
  Bytes text(want.text.begin(), want.text.end());
  EXPECT_EQ(Bytes(entry.text, entry.text + kTextSize), padded(text, kTextSize));
}

Expected withHeader(Bytes header, uint32_t length) {
  Expected e;
  e.channel = 1;
  e.header = std::move(header);
  e.headerLength = length;
  e.frameLength = 6;
  e.text = "x";
  return e;
}

Expected withPair(uint16_t relearn, uint16_t relearnAux) {
  Expected e = withHeader({0xAA}, 1);
  e.relearn = relearn;
  e.relearnAux = relearnAux;
  return e;
}

Expected withChannel(int32_t channel) {
  Expected e = withHeader({0xAA}, 1);
  e.channel = channel;
  return e;
}

Expected withFrameLength(int32_t frameLength) {
  Expected e = withHeader({0xAA}, 1);
  e.frameLength = frameLength;
  return e;
}

Expected withText(std::string text) {
  Expected e = withHeader({0xAA}, 1);
  e.text = std::move(text);
  return e;
}

const Expected kRejected{};

// clang-format off
const std::vector<LineCase> kLineCases = {
  // legend                                   line                                  accepted  entry
  {"worked example",                          "1,aa 55,,1-0,0,touch\n",               true,
      {1, {0xAA, 0x55}, {}, 2, 1, 0, 0, "touch"}},
  {"two spaces between tokens",               "1,aa  55,,,6,x\n",                     true,  withHeader({0xAA, 0x55}, 2)},
  {"trailing and leading blanks, a tab",      "1, aa\t55 ,,,6,x\n",                   true,  withHeader({0xAA, 0x55}, 2)},
  {"0d 0a",                                   "1,0d 0a,,,6,x\n",                      true,  withHeader({0x0D, 0x0A}, 2)},
  {"upper case is not hex: AA",               "1,AA,,,6,x\n",                         true,  withHeader({0x21}, 1)},
  {"one-character token 5",                   "1,5,,,6,x\n",                          true,  withHeader({0x20}, 1)},
  {"one-character token 3 is 0x00",           "1,3 aa,,,6,x\n",                       true,  withHeader({0x00, 0xAA}, 0)},
  {"only two characters of a token count",    "1,aa55,,,6,x\n",                       true,  withHeader({0xAA}, 1)},
  {"a newline closes a field like a comma",  "1,aa\n,,6,x\n",                        true,  withHeader({0xAA}, 1)},
  {"empty header kept",                       "1,,,,6,x\n",                           true,  withHeader({}, 0)},
  {"ten tokens run into secondPattern",       "1,1 1 1 1 1 1 1 1 1 1,aa,,6,x\n",      true,
      {1, Bytes(10, 0xE0), {0xAA}, 11, 0, 0, 6, "x"}},
  {"ten tokens, no secondPattern",            "1,1 2 4 5 6 7 8 9 a b,,,6,x\n",        true,
      {1, {0xE0, 0xF0, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}, {}, 10, 0, 0, 6, "x"}},
  {"pair 1-0",                                "1,aa,,1-0,6,x\n",                      true,  withPair(1, 0)},
  {"pair 0-0",                                "1,aa,,0-0,6,x\n",                      true,  withPair(0, 0)},
  {"pair empty",                              "1,aa,,,6,x\n",                         true,  withPair(0, 0)},
  {"pair without dash: 12",                   "1,aa,,12,6,x\n",                       true,  withPair(0, 0)},
  {"pair with blanks",                        "1,aa,, 3 - 7 ,6,x\n",                  true,  withPair(3, 7)},
  {"pair truncated to 16 bits",               "1,aa,,70000-1,6,x\n",                  true,  withPair(4464, 1)},
  {"pair, nothing before the dash",           "1,aa,,-5,6,x\n",                       true,  withPair(0, 5)},
  {"pair, second dash is a sign",             "1,aa,,1--2,6,x\n",                     true,  withPair(1, 0xFFFE)},
  {"negative channel",                        "-3,aa,,,6,x\n",                        true,  withChannel(-3)},
  {"channel stops at a non-digit",            "7x,aa,,,6,x\n",                        true,  withChannel(7)},
  {"channel without digits",                  "abc,aa,,,6,x\n",                       true,  withChannel(0)},
  {"channel saturates",                       "99999999999,aa,,,6,x\n",               true,  withChannel(2147483647)},
  {"channel saturates below",                 "-99999999999,aa,,,6,x\n",              true,  withChannel(-2147483647 - 1)},
  {"line starting with a tab",                "\t5,aa,,,6,x\n",                       true,  withChannel(5)},
  {"frame length ' 1 2' is 12",               "1,aa,,, 1 2,x\n",                      true,  withFrameLength(12)},
  {"frame length 260",                        "1,aa,,,260,x\n",                       true,  withFrameLength(260)},
  {"frame length empty",                      "1,aa,,,,x\n",                          true,  withFrameLength(0)},
  {"text drops blanks",                       "1,aa,,,6, to\tuch \n",                 true,  withText("touch")},
  {"text ends the line without newline",      "1,aa,,,6,x",                           true,  withText("x")},
  {"empty text",                              "1,aa,,,6,\n",                          true,  withText("")},
  {"after the sixth field is ignored",        "1,aa,,,6,x,more,fields\n",             true,  withText("x")},
  {"a NUL ends the line",                     std::string("1,aa,,,6,x\0y,z\n", 15),   true,  withText("x")},
  {"19 characters in field 1",                "0000000000000000001,aa,,,6,x\n",       true,  withChannel(1)},
  {"19 characters of text",                   "1,aa,,,6,abcdefghijklmnopqrs\n",       true,  withText("abcdefghijklmnopqrs")},
  {"20 characters of text with one blank",    "1,aa,,,6,abcdefghij klmnopqrs\n",      true,  withText("abcdefghijklmnopqrs")},
  {"9 characters in field 4",                 "1,aa,,123456-12,6,x\n",                true,  withPair(57920, 12)},
  {"9 characters in field 4 with blanks",     "1,aa,,1 2 3 4 5 6 7 8 9,6,x\n",       true,  withPair(0, 0)},
  {"frame length -1",                         "1,aa,,,-1,x\n",                        false, kRejected},
  {"frame length 261",                        "1,aa,,,261,x\n",                       false, kRejected},
  {"20 characters in field 1",                "\t0000000000000000001,aa,,,6,x\n",     false, kRejected},
  {"20 characters in field 2",                "1,aa aa aa aa aa aa aa,,,6,x\n",       false, kRejected},
  {"20 characters in field 3",                "1,aa,aa aa aa aa aa aa aa,,6,x\n",     false, kRejected},
  {"20 characters of text",                   "1,aa,,,6,abcdefghijklmnopqrst\n",      false, kRejected},
  {"20 characters in field 5 after dropping", "1,aa,,,00000000000000000006,x\n",      false, kRejected},
  {"10 characters in field 4",                "1,aa,,1234567-12,6,x\n",               false, kRejected},
  {"10 characters in field 4 with blanks",    "1,aa,,1 2 3 4 5 6 7 8 9 0,6,x\n",     false, kRejected},
  {"ends before field 5",                     "1,aa 55,,1-0\n",                       false, kRejected},
  {"field 5 not closed",                      "1,aa 55,,1-0,6",                       false, kRejected},
  {"a NUL before field 5",                    std::string("1,aa\0,,,6,x\n", 12),      false, kRejected},
  {"a lone CR",                               "\r\n",                                 false, kRejected},
};
// clang-format on

TEST(RouteLine, ParsesOrRejectsEachLine) {
  for (const LineCase& c : kLineCases) {
    SCOPED_TRACE(c.legend);
    RouteEntry entry = sentinelEntry();
    ASSERT_TRUE(isRouteLine(c.line.data(), c.line.size()));
    ASSERT_EQ(parseRouteLine(c.line.data(), c.line.size(), entry), c.accepted);
    if (c.accepted) {
      expectEntry(entry, c.entry);
    } else {
      const RouteEntry untouched = sentinelEntry();
      EXPECT_EQ(std::memcmp(&entry.channel, &untouched.channel,
                            offsetof(RouteEntry, relearnAux) + sizeof entry.relearnAux - offsetof(RouteEntry, channel)),
                0)
          << "a rejected line must leave the entry as it was";
    }
  }
}

TEST(RouteLine, CommentAndBlankLinesAreNotRouteLines) {
  struct Case {
    std::string line;
    bool route;
  };
  const Case cases[] = {{";1,aa,,,6,x\n", false}, {" 1,aa,,,6,x\n", false}, {"\n", false},
                        {"", false},               {std::string("\0" "1", 2), true},
                        {"\t1,aa,,,6,x\n", true},   {"x", true}};
  for (const Case& c : cases) {
    EXPECT_EQ(isRouteLine(c.line.data(), c.line.size()), c.route) << c.line;
  }
}

TEST(HeaderLength, CountsOnThroughSecondPatternAndText) {
  RouteEntry entry;
  std::memset(entry.header, 1, sizeof entry.header);
  std::memset(entry.secondPattern, 2, sizeof entry.secondPattern);
  EXPECT_EQ(headerLength(entry), 20u);
  std::memset(entry.text, 3, sizeof entry.text);
  EXPECT_EQ(headerLength(entry), 280u) << "bounded by the end of text";
  EXPECT_EQ(headerByte(entry, 9), 1);
  EXPECT_EQ(headerByte(entry, 10), 2);
  EXPECT_EQ(headerByte(entry, 279), 3);
  EXPECT_EQ(headerByte(entry, 280), 0);
  EXPECT_EQ(headerByte(entry, 0xFFFFFFFF), 0);
}

// Whole files through loadRouteTableFrom(), messages captured in a temporary
// stream.
class RouteFile : public ::testing::Test {
 protected:
  int load(const std::string& contents) {
    const std::string path = sandbox.writeFile("ctl_rt.st", contents);
    messages = std::tmpfile();
    const int result = loadRouteTableFrom(guarded.table, path.c_str(), messages);
    return result;
  }

  std::string messagesWritten() { return testing_support::readAll(messages); }

  std::string repeatedMessage(int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += kMessage;
    return out;
  }

  void TearDown() override {
    if (messages) std::fclose(messages);
    for (uint8_t byte : guarded.after) ASSERT_EQ(byte, 0xA5) << "written past the table";
  }

  testing_support::DeviceSandbox sandbox;
  struct {
    RouteTable table;
    uint8_t after[sizeof(RouteEntry)];
  } guarded;
  FILE* messages = nullptr;

 public:
  RouteFile() { std::memset(guarded.after, 0xA5, sizeof guarded.after); }
};

TEST_F(RouteFile, CommentsAndBlankLinesOnly) {
  EXPECT_EQ(load("; a comment\n\n  indented comment\n;1,aa,,,6,x\n\n"), 1);
  EXPECT_EQ(guarded.table.count, 0u);
  EXPECT_EQ(messagesWritten(), "");
}

TEST_F(RouteFile, LastLineStoredOnceWithOrWithoutNewline) {
  for (const char* contents : {"1,aa,,,6,x\n2,bb,,,6,y\n", "1,aa,,,6,x\n2,bb,,,6,y"}) {
    SCOPED_TRACE(contents);
    guarded.table = RouteTable{};
    EXPECT_EQ(load(contents), 1);
    ASSERT_EQ(guarded.table.count, 2u);
    EXPECT_EQ(guarded.table.entries[1].channel, 2);
    EXPECT_EQ(guarded.table.entries[2].channel, 0);
    std::fclose(messages);
    messages = nullptr;
  }
}

TEST_F(RouteFile, CrLfReadsLikeLf) {
  ASSERT_EQ(load("; comment\r\n\r\n1,aa 55,,1-0,0,touch\r\n4,aa 44,,,4,control\r\n"), 1);
  EXPECT_EQ(messagesWritten(), "") << "a blank CR LF line is a blank line";
  ASSERT_EQ(guarded.table.count, 2u);
  expectEntry(guarded.table.entries[0], {1, {0xAA, 0x55}, {}, 2, 1, 0, 0, "touch"});
  expectEntry(guarded.table.entries[1], {4, {0xAA, 0x44}, {}, 2, 0, 0, 4, "control"});
}

TEST_F(RouteFile, LongLinesArriveInPiecesOf259) {
  // A 300-character comment: its first 259 characters are one piece (a
  // comment), the rest is read as a line of its own, here a route line.
  const std::string comment = ";" + std::string(258, '-') + "2,aa,,,6,tail\n";
  // A route line of 300 characters: the first piece has an overlong text, the
  // second is a lone word without fields; both are rejected.
  const std::string longRoute = "3,bb,,,6," + std::string(291, 'y') + "\n";
  ASSERT_EQ(load(comment + longRoute + "4,cc,,,6,z\n"), 1);
  ASSERT_EQ(guarded.table.count, 2u);
  EXPECT_EQ(guarded.table.entries[0].channel, 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(guarded.table.entries[0].text)), "tail");
  EXPECT_EQ(guarded.table.entries[1].channel, 4);
  EXPECT_EQ(messagesWritten(), repeatedMessage(2));
}

TEST_F(RouteFile, EleventhRouteLineIsRejected) {
  std::string contents;
  for (int channel = 0; channel < 12; ++channel) contents += std::to_string(channel) + ",aa,,,6,x\n";
  ASSERT_EQ(load(contents), 1);
  EXPECT_EQ(guarded.table.count, kRouteTableSize);
  for (uint32_t i = 0; i < kRouteTableSize; ++i) EXPECT_EQ(guarded.table.entries[i].channel, int32_t(i));
  EXPECT_EQ(messagesWritten(), repeatedMessage(2));
}

TEST_F(RouteFile, RejectedLineLeavesTheTableAlone) {
  // The rejected line has a longer header than the line after it; none of its
  // bytes may survive into the entry that line fills.
  ASSERT_EQ(load("1,aa 55,,,6,one\n9,ff ff ff ff,,1-2\n2,01,,,0,two\n"), 1);
  EXPECT_EQ(messagesWritten(), kMessage);
  ASSERT_EQ(guarded.table.count, 2u);
  expectEntry(guarded.table.entries[0], {1, {0xAA, 0x55}, {}, 2, 0, 0, 6, "one"});
  expectEntry(guarded.table.entries[1], {2, {0x01}, {}, 1, 0, 0, 0, "two"});
}

TEST_F(RouteFile, NulLedLineIsRefusedWithTheMessage) {
  ASSERT_EQ(load(std::string("\0" "1,aa,,,6,x\n2,bb,,,6,y\n", 22)), 1);
  EXPECT_EQ(messagesWritten(), kMessage);
  ASSERT_EQ(guarded.table.count, 1u);
  EXPECT_EQ(guarded.table.entries[0].channel, 2);
}

// Only a regular file is a route file: a missing one, and anything else,
// counts as unreadable at once, without blocking (a FIFO nobody writes) or
// reading for ever.
TEST_F(RouteFile, OnlyARegularFileIsRead) {
  const std::string fifo = sandbox.root() + "/fifo.st";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string zero = sandbox.root() + "/zero.st";
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  for (const std::string& path : {sandbox.root() + "/none.st", fifo, zero, sandbox.root()}) {
    SCOPED_TRACE(path);
    FILE* sink = std::tmpfile();
    EXPECT_FALSE(loadRouteTableFrom(guarded.table, path.c_str(), sink));
    EXPECT_EQ(guarded.table.count, 0u);
    std::fclose(sink);
  }
  // An overlong file is read up to its cap: the route line at its start counts.
  EXPECT_EQ(load("1,aa,,,6,x\n" + std::string(100 * 1024, ';')), 1);
  EXPECT_EQ(guarded.table.count, 1u);
}

TEST_F(RouteFile, SampleRouteFileIsValid) {
  FILE* sink = std::tmpfile();
  const std::string path = std::string(SERIALHUB_SOURCE_DIR) + "/daemon/ctl_rt.st";
  ASSERT_TRUE(loadRouteTableFrom(guarded.table, path.c_str(), sink));
  std::fclose(sink);
  ASSERT_EQ(guarded.table.count, 3u);
  expectEntry(guarded.table.entries[0], {1, {0xFE}, {}, 1, 0, 0, 6, "touch"});
  expectEntry(guarded.table.entries[1], {2, {0xAA, 0x33}, {}, 2, 1, 0, 0, "text"});
  expectEntry(guarded.table.entries[2], {4, {0xAA, 0x44}, {}, 2, 0, 0, 4, "control"});
}

}  // namespace
