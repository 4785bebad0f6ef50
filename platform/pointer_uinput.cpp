// The real pointer on a Linux console: an absolute mouse made with libevdev
// over the uinput node (ABS_X and ABS_Y 0..65535 and a left button, no touch
// bits, so every desktop treats it as a plain absolute pointer). It is made on
// the first event and kept for the life of the process; each injected event
// ends with SYN_REPORT.
//
// Must survive: a node that is not uinput or that we may not open (the event
// is dropped and making the device is tried again at the next event), values
// outside the axis range (clamped: the device cannot carry them), callers on
// several threads (one mutex around the device).
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "platform/pointer_sinks.h"

namespace ce {
namespace {

constexpr int kAxisMax = 65535;

struct UinputPointer {
  std::mutex mutex;
  std::string path;  // the node the device was made over
  int fd = -1;
  libevdev_uinput* device = nullptr;
};

UinputPointer& pointer() {
  static UinputPointer instance;
  return instance;
}

libevdev_uinput* makeDevice(int fd) {
  libevdev* description = libevdev_new();
  if (description == nullptr) return nullptr;
  libevdev_set_name(description, "serialhub touch panel");
  input_absinfo axis{};
  axis.minimum = 0;
  axis.maximum = kAxisMax;
  libevdev_enable_event_type(description, EV_ABS);
  libevdev_enable_event_code(description, EV_ABS, ABS_X, &axis);
  libevdev_enable_event_code(description, EV_ABS, ABS_Y, &axis);
  libevdev_enable_event_type(description, EV_KEY);
  libevdev_enable_event_code(description, EV_KEY, BTN_LEFT, nullptr);
  libevdev_uinput* device = nullptr;
  if (libevdev_uinput_create_from_device(description, fd, &device) != 0) device = nullptr;
  libevdev_free(description);  // the uinput device keeps its own copy
  return device;
}

// Called with the mutex held.
bool ensureDevice(UinputPointer& state, const std::string& path) {
  if (state.device != nullptr && state.path == path) return true;
  if (state.device != nullptr) {  // the node now leads elsewhere: start over there
    libevdev_uinput_destroy(state.device);
    ::close(state.fd);
    state.device = nullptr;
    state.fd = -1;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  libevdev_uinput* device = makeDevice(fd);
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
  UinputPointer& state = pointer();
  std::lock_guard lock(state.mutex);
  if (!ensureDevice(state, path)) return false;
  bool ok = true;
  // A move without the absolute flag would be relative; the touch path never
  // sends one, and this device has no relative axes, so it is left out.
  if ((event.flags & kPointerMove) != 0 && (event.flags & kPointerAbsolute) != 0) {
    ok &= libevdev_uinput_write_event(state.device, EV_ABS, ABS_X, clampAxis(event.x)) == 0;
    ok &= libevdev_uinput_write_event(state.device, EV_ABS, ABS_Y, clampAxis(event.y)) == 0;
  }
  if ((event.flags & kPointerLeftDown) != 0) {
    ok &= libevdev_uinput_write_event(state.device, EV_KEY, BTN_LEFT, 1) == 0;
  }
  if ((event.flags & kPointerLeftUp) != 0) {
    ok &= libevdev_uinput_write_event(state.device, EV_KEY, BTN_LEFT, 0) == 0;
  }
  ok &= libevdev_uinput_write_event(state.device, EV_SYN, SYN_REPORT, 0) == 0;
  return ok;
}

}  // namespace ce
