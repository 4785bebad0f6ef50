// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Shared libraries mapped on first use: an idle daemon never plays a click,
// drives a uinput pointer or talks to X, and linking those libraries would
// cost their relocated data. A library is never closed: its functions stay.
#pragma once

#include <dlfcn.h>

#include <array>
#include <cstddef>

namespace shub::os::detail {

// Stores each of `names`, in order, in the matching one of `functions`;
// false at the first that is missing.
template <typename... Functions>
bool resolveSymbols(void* library, const std::array<const char*, sizeof...(Functions)>& names,
                    Functions&... functions) {
  size_t next = 0;
  const auto resolve = [&]<typename Function>(Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, names[next++]));
    return function != nullptr;
  };
  return (resolve(functions) && ...);
}

// The function table `Api` of library `soname`, filled by `resolve` on first
// call; nullptr for ever when the library or one of its functions is missing.
template <typename Api>
const Api* loadLibraryApi(const char* soname, bool (*resolve)(void* library, Api& api)) {
  static Api api;
  static const Api* const loaded = [&]() -> const Api* {  // a static's initialiser runs once, in any thread
    void* const library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    return library != nullptr && resolve(library, api) ? &api : nullptr;
  }();
  return loaded;
}

}  // namespace shub::os::detail
