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
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/failure_note_internal.h"
#include "platform/paths.h"
#include "platform/pointer_internal.h"
#include "platform/shared_library_internal.h"
#include "platform/xlib_internal.h"

namespace shub::os {
namespace {

constexpr int kAxisMax = 65535;

struct EvdevApi {
  decltype(&libevdev_new) create = nullptr;
  decltype(&libevdev_set_name) setName = nullptr;
  decltype(&libevdev_enable_event_code) enableCode = nullptr;
  decltype(&libevdev_free) free = nullptr;
  decltype(&libevdev_uinput_create_from_device) uinputCreate = nullptr;
  decltype(&libevdev_uinput_write_event) uinputWrite = nullptr;
  decltype(&libevdev_uinput_destroy) uinputDestroy = nullptr;
};

const EvdevApi* evdev() {
  return detail::loadLibraryApi<EvdevApi>("libevdev.so.2", [](void* library, EvdevApi& api) {
    auto get = [library](const char* name, auto& function) { return detail::resolveSymbol(library, name, function); };
    return get("libevdev_new", api.create) && get("libevdev_set_name", api.setName) &&
           get("libevdev_enable_event_code", api.enableCode) && get("libevdev_free", api.free) &&
           get("libevdev_uinput_create_from_device", api.uinputCreate) &&
           get("libevdev_uinput_write_event", api.uinputWrite) && get("libevdev_uinput_destroy", api.uinputDestroy);
  });
}

struct Mouse {
  std::mutex mutex;
  int fd = -1;
  libevdev_uinput* device = nullptr;
  std::string path;  // the node it was made over
  detail::RetryGate gate;
};

Mouse mouse;  // never made when the node is a file

void destroy(Mouse& m) {
  if (m.device == nullptr) return;
  evdev()->uinputDestroy(m.device);
  ::close(m.fd);
  m.device = nullptr;
}

// 0, or the errno that stopped it.
int make(Mouse& m, const EvdevApi& api, const std::string& path) {
  m.fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (m.fd < 0) return errno;
  libevdev* description = api.create();
  if (description == nullptr) return ::close(m.fd), ENOMEM;
  api.setName(description, "serialhub touch panel");
  const input_absinfo axis{0, 0, kAxisMax, 0, 0, 0};  // value, minimum, maximum, fuzz, flat, resolution
  api.enableCode(description, EV_ABS, ABS_X, &axis);  // enables the type too
  api.enableCode(description, EV_ABS, ABS_Y, &axis);
  api.enableCode(description, EV_KEY, BTN_LEFT, nullptr);
  const int rc = api.uinputCreate(description, m.fd, &m.device);
  api.free(description);  // the uinput device keeps its own copy
  if (rc == 0) return 0;
  ::close(m.fd);
  m.device = nullptr;
  return rc < 0 ? -rc : EIO;
}

// Called with m.mutex held.
bool ensure(Mouse& m, const std::string& path) {
  if (m.device != nullptr && m.path == path) return true;
  destroy(m);  // the node now leads elsewhere
  if (!m.gate.due(path, std::chrono::steady_clock::now())) return false;
  const EvdevApi* api = evdev();
  const int error = api != nullptr ? make(m, *api, path) : ELIBACC;
  if (error == 0) {
    m.path = path;
    m.gate.succeeded();
    return true;
  }
  if (m.gate.sayOnce()) detail::noteFailure(path, "cannot make the pointer device", error);
  return false;
}

// Feeds `event` to the mouse over `path` (nullptr: only makes the mouse).
bool uinputPointerEvent(const std::string& path, const PointerEvent* event) {
  std::lock_guard lock(mouse.mutex);
  if (!ensure(mouse, path)) return false;
  if (event == nullptr) return true;
  bool ok = true;
  for (const detail::InputEvent& e : detail::uinputEvents(*event)) {
    ok &= evdev()->uinputWrite(mouse.device, e.type, e.code, e.value) == 0;
  }
  if (!ok) destroy(mouse);  // made anew at a later event, when the gate allows
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

std::string pointerRecord(const PointerEvent& event) {
  constexpr unsigned kAbsolute = 0x8000, kMove = 0x1, kLeftDown = 0x2, kLeftUp = 0x4;
  const unsigned flags = !event.buttons.left ? kLeftUp : kAbsolute | kLeftDown | (pointerMoves(event) ? kMove : 0);
  return std::to_string(flags) + " " + std::to_string(event.x) + " " + std::to_string(event.y) + " 0 0\n";
}

void preparePointerDevice() {
  const std::optional<std::string> node = findDeviceNode("pointer");
  if (node && fileType(*node) == S_IFCHR) uinputPointerEvent(*node, nullptr);
}

bool injectPointerEvent(const PointerEvent& event) {
  const std::optional<std::string> node = findDeviceNode("pointer");
  if (!node) {
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0' && xtestPointerEvent(event);
  }
  const mode_t type = fileType(*node);  // 0 for a dangling link: no device
  if (type == S_IFREG) return writeNodeFile(*node, pointerRecord(event), true);
  return type == S_IFCHR && uinputPointerEvent(*node, &event);
}

}  // namespace shub::os
