// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Deadlines instead of sleeps: poll a condition until it holds or time runs out.
#pragma once

#include <chrono>
#include <functional>

namespace testing_support {

// True as soon as `condition` holds; false when `timeout` passed first. Checks
// every millisecond.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace testing_support
