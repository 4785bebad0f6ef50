// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// crtctl post: send a window message to a window found by class and title,
// the way other programs on the device tell duskcard to re-arm its time-out
// (crtctl post SLEEP SLEEP 1330). Where the class has a window socket in
// $CE_OBJECTS (a notice on Wayland) the message goes there, the title unchecked:
// the socket is named after the class alone. Otherwise it travels as an X
// client message. Its numbers are 32-bit either way: anything wider is
// refused, not truncated. libX11 is mapped only here: crtctl runs on images
// without X.
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>

#include "client/tool.h"
#include "platform/window_socket.h"
#include "platform/x11_window.h"

namespace shub::client {

namespace {

// Decimal, or hexadecimal after 0x; an optional '-' for signed fields.
std::optional<int64_t> parseWord(std::string_view text, bool allowNegative) {
  bool negative = allowNegative && !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, failure] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || failure != std::errc() || stop != end) return std::nullopt;
  if (negative) return value <= 0x80000000u ? std::optional<int64_t>(-static_cast<int64_t>(value)) : std::nullopt;
  return value <= 0xFFFFFFFFu ? std::optional<int64_t>(static_cast<int64_t>(value)) : std::nullopt;
}

}  // namespace

int runPost(const ToolContext& context) {
  const auto& args = context.args;
  if (args.size() < 3 || args.size() > 5) return usageError(context, "post", "expected 3 to 5 arguments");
  std::optional<int64_t> message = parseWord(args[2], false);
  std::optional<int64_t> unsignedArgument = args.size() > 3 ? parseWord(args[3], false) : 0;
  std::optional<int64_t> signedArgument = args.size() > 4 ? parseWord(args[4], true) : 0;
  if (!message || !unsignedArgument || !signedArgument) {
    return usageError(context, "post", "message, arg1 and arg2 are 32-bit numbers");
  }
  const std::string className(args[0]), title(args[1]);
  const os::WindowMessage posted{os::WindowMessage::Kind::message, static_cast<uint32_t>(*message),
                                 static_cast<uint32_t>(*unsignedArgument),
                                 // above INT32_MAX: the same 32 bits read signed
                                 static_cast<int32_t>(static_cast<uint32_t>(*signedArgument))};
  std::string why;
  switch (os::postToWindowSocket(className, posted, &why)) {
    case os::WindowSocketPost::sent:
      return kExitOk;
    case os::WindowSocketPost::failed:
      std::fprintf(context.err, "crtctl post: %s\n", why.c_str());
      return kExitFailed;
    case os::WindowSocketPost::noWindow:
      break;
  }
  std::string noX;
  if (!os::postWindowMessage(className.c_str(), title.c_str(), posted.number, posted.unsignedArgument,
                             posted.signedArgument, &noX)) {
    if (!noX.empty()) {
      std::fprintf(context.err, "crtctl post: %s\n", noX.c_str());
    } else {
      std::fprintf(context.err, "crtctl post: no window of class '%s' titled '%s' (or no display)\n",
                   className.c_str(), title.c_str());
    }
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace shub::client
