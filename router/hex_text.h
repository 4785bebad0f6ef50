// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Bytes as lower-case hex pairs one blank apart ("aa 55 0d"): how the daemon's
// messages, crtctl and capture files all show bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace shub::router {

std::string hexText(const uint8_t* bytes, size_t count);

}  // namespace shub::router
