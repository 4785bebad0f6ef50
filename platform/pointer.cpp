// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The sinks of pointer events (XTest lives in xlib.cpp). The uinput mouse has no
// touch bits, so desktops take it for a plain absolute pointer; it is remade only
// when the node leads elsewhere or a write failed. Survives a foreign node or no
// libevdev (said once, retried at most once a second), values beyond the axes
// (clamped) and concurrent callers (one append-mode write a line; one mutex).
#include "platform/pointer.h"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/shared_library_internal.h"
#include "platform/xlib_pointer_internal.h"

namespace shub::os {
namespace {

constexpr int kAxisMax = 65535;

struct EvdevApi {
  decltype(&libevdev_new) create;
  decltype(&libevdev_set_name) setName;
  decltype(&libevdev_enable_event_code) enableCode;
  decltype(&libevdev_free) free;
  decltype(&libevdev_uinput_create_from_device) uinputCreate;
  decltype(&libevdev_uinput_write_event) uinputWrite;
  decltype(&libevdev_uinput_destroy) uinputDestroy;
};

const EvdevApi* evdev() {
  return detail::loadLibraryApi<EvdevApi>("libevdev.so.2", [](void* library, EvdevApi& api) {
    return detail::resolveSymbols(library,
                                  {"libevdev_new", "libevdev_set_name", "libevdev_enable_event_code", "libevdev_free",
                                   "libevdev_uinput_create_from_device", "libevdev_uinput_write_event",
                                   "libevdev_uinput_destroy"},
                                  api.create, api.setName, api.enableCode, api.free, api.uinputCreate,
                                  api.uinputWrite, api.uinputDestroy);
  });
}

// A uinput mouse over one node: the descriptor and libevdev's device on it,
// made and destroyed together. `error`: 0 once made, else the errno that stopped it.
struct UinputMouse {
  UinputMouse(const EvdevApi& evdev, std::string node)
      : api(evdev), path(std::move(node)), fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK)) {
    libevdev* description = fd >= 0 ? api.create() : nullptr;
    error = fd < 0 ? errno : ENOMEM;
    if (description == nullptr) return;
    api.setName(description, "serialhub touch panel");
    const input_absinfo axis{0, 0, kAxisMax, 0, 0, 0};  // value, minimum, maximum, fuzz, flat, resolution
    api.enableCode(description, EV_ABS, ABS_X, &axis);  // enables the type too
    api.enableCode(description, EV_ABS, ABS_Y, &axis);
    api.enableCode(description, EV_KEY, BTN_LEFT, nullptr);
    const int rc = api.uinputCreate(description, fd, &device);
    api.free(description);  // the uinput device keeps its own copy
    error = rc == 0 ? 0 : rc < 0 ? -rc : EIO;
  }
  ~UinputMouse() {
    if (error == 0) api.uinputDestroy(device);
    if (fd >= 0) ::close(fd);
  }
  UinputMouse(const UinputMouse&) = delete;  // one owner closes; const members forbid assignment

  const EvdevApi& api;
  const std::string path;
  const int fd;
  libevdev_uinput* device = nullptr;
  int error = 0;
};

struct Mouse {
  std::mutex mutex;
  std::unique_ptr<UinputMouse> made;  // never made when the node is a file
  detail::RetryGate gate;
} mouse;

// Called with m.mutex held.
UinputMouse* ensure(Mouse& m, const std::string& path) {
  if (m.made && m.made->path == path) return m.made.get();
  m.made.reset();  // the node now leads elsewhere
  if (!m.gate.due(path, std::chrono::steady_clock::now())) return nullptr;
  const EvdevApi* api = evdev();
  auto made = api != nullptr ? std::make_unique<UinputMouse>(*api, path) : nullptr;
  const int error = made ? made->error : ELIBACC;
  if (error == 0) {
    m.gate.succeeded();
    return (m.made = std::move(made)).get();
  }
  if (m.gate.failures.allow()) logWarning("%s: cannot make the pointer device: %s", path.c_str(), std::strerror(error));
  return nullptr;
}

// Feeds `event` to the mouse over `path` (nullptr: only makes the mouse).
bool uinputPointerEvent(const std::string& path, const PointerEvent* event) {
  std::lock_guard lock(mouse.mutex);
  UinputMouse* made = ensure(mouse, path);
  if (made == nullptr || event == nullptr) return made != nullptr;
  bool ok = true;
  for (const detail::InputEvent& e : detail::uinputEvents(*event)) {
    ok &= made->api.uinputWrite(made->device, e.type, e.code, e.value) == 0;
  }
  if (!ok) mouse.made.reset();  // made anew at a later event, when the gate allows
  return ok;
}

}  // namespace

std::vector<detail::InputEvent> detail::uinputEvents(const PointerEvent& event) {
  std::vector<InputEvent> events;
  if (pointerMoves(event)) {
    events.push_back({EV_ABS, ABS_X, std::clamp(event.x, 0, kAxisMax)});
    events.push_back({EV_ABS, ABS_Y, std::clamp(event.y, 0, kAxisMax)});
  }
  events.push_back({EV_KEY, BTN_LEFT, event.buttons.left ? 1 : 0});
  events.push_back({EV_SYN, SYN_REPORT, 0});
  return events;
}

void preparePointerDevice() {
  const std::optional<std::string> node = findDeviceNode("pointer");
  if (node && fileType(*node) == S_IFCHR) uinputPointerEvent(*node, nullptr);
}

bool injectPointerEvent(const PointerEvent& event, std::string_view record) {
  const std::optional<std::string> node = findDeviceNode("pointer");
  if (!node) return displayPointerEvent(event);
  const mode_t type = fileType(*node);  // 0 for a dangling link: no device
  if (type == S_IFREG) return writeNodeFile(*node, record, true);
  return type == S_IFCHR && uinputPointerEvent(*node, &event);
}

}  // namespace shub::os
