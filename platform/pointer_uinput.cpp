// The real pointer on a Linux console: an absolute mouse made with libevdev
// over the uinput node (ABS_X and ABS_Y 0..65535 and a left button, no touch
// bits, so every desktop treats it as a plain absolute pointer). It is made on
// the first event and kept for the life of the process; each injected event
// ends with SYN_REPORT.
//
// Must survive: a node that is not uinput or that we may not open (the event
// is dropped and making the device is tried again at the next event), values
// outside the axis range (clamped: the device cannot carry them), callers on
// several threads (one mutex around the device), no libevdev installed (the
// event is dropped, as for a node we may not open).
//
// libevdev is mapped on the first event, not at start-up: most installations
// never inject through uinput.
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "platform/pointer_sinks.h"
#include "platform/shared_library_internal.h"

namespace ce {
namespace {

constexpr int kAxisMax = 65535;

struct UinputPointer {
  std::mutex mutex;
  std::string path;  // the node the device was made over
  int fd = -1;
  libevdev_uinput* device = nullptr;
};

// The libevdev functions used, resolved on first use.
struct EvdevApi {
  decltype(&libevdev_new) create = nullptr;
  decltype(&libevdev_set_name) setName = nullptr;
  decltype(&libevdev_enable_event_type) enableType = nullptr;
  decltype(&libevdev_enable_event_code) enableCode = nullptr;
  decltype(&libevdev_free) free = nullptr;
  decltype(&libevdev_uinput_create_from_device) uinputCreate = nullptr;
  decltype(&libevdev_uinput_write_event) uinputWrite = nullptr;
  decltype(&libevdev_uinput_destroy) uinputDestroy = nullptr;
};

// nullptr when libevdev (or one of these functions) is not there.
const EvdevApi* evdev() {
  return detail::loadLibraryApi<EvdevApi>("libevdev.so.2", [](void* library, EvdevApi& api) {
    using detail::resolveSymbol;
    return resolveSymbol(library, "libevdev_new", api.create) &&
           resolveSymbol(library, "libevdev_set_name", api.setName) &&
           resolveSymbol(library, "libevdev_enable_event_type", api.enableType) &&
           resolveSymbol(library, "libevdev_enable_event_code", api.enableCode) &&
           resolveSymbol(library, "libevdev_free", api.free) &&
           resolveSymbol(library, "libevdev_uinput_create_from_device", api.uinputCreate) &&
           resolveSymbol(library, "libevdev_uinput_write_event", api.uinputWrite) &&
           resolveSymbol(library, "libevdev_uinput_destroy", api.uinputDestroy);
  });
}

UinputPointer& pointer() {
  static UinputPointer instance;
  return instance;
}

libevdev_uinput* makeDevice(const EvdevApi& api, int fd) {
  libevdev* description = api.create();
  if (description == nullptr) return nullptr;
  api.setName(description, "serialhub touch panel");
  input_absinfo axis{};
  axis.minimum = 0;
  axis.maximum = kAxisMax;
  api.enableType(description, EV_ABS);
  api.enableCode(description, EV_ABS, ABS_X, &axis);
  api.enableCode(description, EV_ABS, ABS_Y, &axis);
  api.enableType(description, EV_KEY);
  api.enableCode(description, EV_KEY, BTN_LEFT, nullptr);
  libevdev_uinput* device = nullptr;
  if (api.uinputCreate(description, fd, &device) != 0) device = nullptr;
  api.free(description);  // the uinput device keeps its own copy
  return device;
}

// Called with the mutex held.
bool ensureDevice(const EvdevApi& api, UinputPointer& state, const std::string& path) {
  if (state.device != nullptr && state.path == path) return true;
  if (state.device != nullptr) {  // the node now leads elsewhere: start over there
    api.uinputDestroy(state.device);
    ::close(state.fd);
    state.device = nullptr;
    state.fd = -1;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  libevdev_uinput* device = makeDevice(api, fd);
  if (device == nullptr) {
    ::close(fd);
    return false;
  }
  state.fd = fd;
  state.device = device;
  state.path = path;
  return true;
}

int clampAxis(int32_t value) { return std::clamp<int32_t>(value, 0, kAxisMax); }

}  // namespace

bool uinputPointerEvent(const std::string& path, const PointerEvent& event) {
  const EvdevApi* const api = evdev();
  if (api == nullptr) return false;
  UinputPointer& state = pointer();
  std::lock_guard lock(state.mutex);
  if (!ensureDevice(*api, state, path)) return false;
  bool ok = true;
  // A move without the absolute flag would be relative; the touch path never
  // sends one, and this device has no relative axes, so it is left out.
  if ((event.flags & kPointerMove) != 0 && (event.flags & kPointerAbsolute) != 0) {
    ok &= api->uinputWrite(state.device, EV_ABS, ABS_X, clampAxis(event.x)) == 0;
    ok &= api->uinputWrite(state.device, EV_ABS, ABS_Y, clampAxis(event.y)) == 0;
  }
  if ((event.flags & kPointerLeftDown) != 0) {
    ok &= api->uinputWrite(state.device, EV_KEY, BTN_LEFT, 1) == 0;
  }
  if ((event.flags & kPointerLeftUp) != 0) {
    ok &= api->uinputWrite(state.device, EV_KEY, BTN_LEFT, 0) == 0;
  }
  ok &= api->uinputWrite(state.device, EV_SYN, SYN_REPORT, 0) == 0;
  return ok;
}

}  // namespace ce
