// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Feeds arbitrary bytes to the capture file parser of crtctl replay, as a
// file from the field or written by hand would arrive: it must never read
// outside the text, and what it accepts must hold only items it can play.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/capture_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  shub::client::Capture capture;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!shub::client::parseCapture(text, capture, &error)) {
    if (error.rfind("line ", 0) != 0) std::abort();  // a refusal always names its line
    return 0;
  }
  uint64_t time = 0;
  for (const shub::client::CaptureItem& item : capture.items) {
    if (item.timeUs < time || (item.event == shub::client::CaptureEvent::bytes && item.bytes.empty())) std::abort();
    if (!capture.timed && item.event != shub::client::CaptureEvent::bytes) std::abort();
    time = item.timeUs;
  }
  return 0;
}
