// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// What a route file says that the parser accepts but that surely means
// something else than was meant: letters that are not hex digits to the
// parser, a 00 that ends a header early, channels that share a block,
// headers that can never complete because another lies inside them. The
// daemon says these at load and crtctl routes prints them: one checker.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "router/route_table.h"

namespace shub::router {

// One line per finding, "PATH:LINE: warning: ...", in file order, then the
// findings about pairs of entries.
std::vector<std::string> routeWarnings(const RouteTable& table, const RouteFileReading& reading,
                                       const std::string& path);

// The header as the frame assembler compares it (it may run on into the
// second pattern and the name).
std::vector<uint8_t> routeHeader(const RouteEntry& entry);

// Text from the route file with every byte outside printable ASCII escaped
// (\xNN), so a stray control character cannot drive a terminal or a log.
std::string printableText(std::string_view text);

// Bytes as hex pairs, "-" for none.
std::string hexOrDash(const std::vector<uint8_t>& bytes);

}  // namespace shub::router
