// Shared libraries mapped on first use rather than at start-up: an idle
// daemon never plays a click, drives a uinput pointer or talks to X, and
// linking those libraries would cost their relocated data in every process.
// A library is never closed, so the function pointers taken from it stay valid.
#pragma once

#include <dlfcn.h>

#include <mutex>

namespace ce::detail {

// Stores `name` from `library` in `function`; false when it is not there (an
// older library), so the caller treats the library as missing.
template <typename Function>
bool resolveSymbol(void* library, const char* name, Function& function) {
  void* const symbol = ::dlsym(library, name);
  if (symbol == nullptr) return false;
  function = reinterpret_cast<Function>(symbol);
  return true;
}

// The function table `Api` of library `soname`, filled by `resolve` the first
// time it is asked for; nullptr, then and for ever, when the library or one of
// its functions is missing. One table per Api type; safe from any thread.
template <typename Api>
const Api* loadLibraryApi(const char* soname, bool (*resolve)(void* library, Api& api)) {
  static std::once_flag once;
  static Api api;
  static const Api* loaded = nullptr;
  std::call_once(once, [&] {
    void* const library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr && resolve(library, api)) loaded = &api;
  });
  return loaded;
}

}  // namespace ce::detail
