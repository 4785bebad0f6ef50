// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Small readings the tests make of text: what a temporary stream received,
// how often a phrase was said, how many lines a file holds, how many entries
// a /proc folder lists.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace testing_support {

// Everything written to `file` so far; the stream stays open.
inline std::string readAll(FILE* file) {
  std::string text;
  std::rewind(file);
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text.push_back(static_cast<char>(c));
  return text;
}

inline size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

inline size_t lineCount(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// Entries of a folder other than dot files: threads in /proc/PID/task,
// descriptors in /proc/PID/fd.
inline size_t entriesIn(const std::string& dir) {
  size_t count = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) count += e->d_name[0] != '.';
    closedir(d);
  }
  return count;
}

}  // namespace testing_support
