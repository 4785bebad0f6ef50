// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl routes over small route files, as a table: the file, the exit
// status, and lines the report must hold (entries as the daemon reads them,
// refusals, warnings).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "client/tool.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/text.h"

namespace {

struct Report {
  int status = -1;
  std::string out, err;
};

std::string contents(FILE* file) {
  const std::string text = testing_support::readAll(file);
  std::fclose(file);
  return text;
}

Report routes(const std::string& path) {
  const std::vector<std::string_view> args = {"routes", path};
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  Report report;
  report.status = shub::client::runTool(args, out, err, nullptr);
  report.out = contents(out);
  report.err = contents(err);
  return report;
}

std::string elevenLines() {
  std::string text;
  for (int channel = 1; channel <= 11; ++channel) text += std::to_string(channel) + ",a" + std::to_string(channel % 10) + ",,,6,x\n";
  return text;
}

struct Case {
  const char* legend;
  std::string file;
  int status;
  std::vector<std::string> lines;  // each must appear, ":N:" standing after the file's path
};

// clang-format off
const std::vector<Case> kCases = {
  {"entries as the daemon uses them", "; touch first\n1,fe,,0-0,6,touch\n2,aa 33,,1-0,0,text\n", 0, {
      ": 2 routes, 0 lines refused\n",
      "line  entry  channel  header  second  length  relearn  name\n"
      "2     0      CRT1     fe      -       6       no       touch\n"
      "3     1      CRT2     aa 33   -       CR LF   yes      text\n"}},
  {"upper-case letters are not hex digits", "1,AA 55,,,6,x\n", 0, {
      "CRT1     21 55 ",
      ":1: warning: header token AA reads as 21: only 0-9 and lower-case a-f are hex digits\n"}},
  {"odd tokens, once each", "1,aa55 5 5,,,6,x\n", 0, {
      ":1: warning: header token aa55 reads as aa: only its first two characters count\n",
      ":1: warning: header token 5 reads as 20: a token is two hex digits\n"}},
  {"a 00 ends the header", "1,aa 00 55,,,6,x\n", 0, {
      ":1: warning: header token 55 is not matched: a 00 before it ends the header\n"}},
  {"a shared channel", "1,aa,,,6,x\n1,bb,,,6,y\n", 0, {
      ":2: warning: entry 1 shares CRT1 with entry 0 (line 1): one block and one event\n"}},
  {"a header inside another", "1,aa 55,,,6,x\n2,aa,,,6,y\n", 0, {
      ":1: warning: entry 0 never receives a frame: the header aa of entry 1 (line 2) lies inside its header aa 55"}},
  {"the same header twice", "1,aa,,,6,x\n2,aa,,,6,y\n", 0, {
      ":1: warning: entry 0 never receives a frame: entry 1 (line 2) has the same header and takes every frame\n"}},
  {"no header, a length shorter than the header", "1,,,,6,x\n2,aa 55,,,1,y\n", 0, {
      ":1: warning: entry 0 has no header: it never receives a frame\n",
      ":2: warning: length 1 is shorter than the header (2 bytes): every frame is discarded\n"}},
  {"control characters are escaped", "1,aa,,,6,a\x1b" "b\n", 0, {"  a\\x1bb\n"}},
  {"refused lines", "1,aa,,,300,x\n2,bb\n3,cc,,,6,z\n", 65, {
      ": 1 route, 2 lines refused\n",
      ":1: refused: frame length 300 is outside 0 to 260\n",
      ":2: refused: ends before its fifth field is closed by ',' or a newline\n"}},
  {"after the tenth", elevenLines(), 65, {":11: refused: an eleventh route line; the table holds ten\n"}},
};
// clang-format on

TEST(RoutesCommand, ReportsEntriesRefusalsAndWarnings) {
  testing_support::DeviceSandbox sandbox;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.legend);
    const std::string path = sandbox.writeFile("ctl_rt.st", c.file);
    const Report report = routes(path);
    EXPECT_EQ(report.status, c.status);
    EXPECT_EQ(report.err, "");
    for (const std::string& line : c.lines) {
      const std::string want = line[0] == ':' ? path + line : line;
      EXPECT_NE(report.out.find(want), std::string::npos) << "missing: " << want << "\nin:\n" << report.out;
    }
  }
  const Report missing = routes(sandbox.root() + "/none.st");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("none.st: cannot be read"), std::string::npos) << missing.err;
}

}  // namespace
