// The real pointer on a Linux console: an absolute mouse made with libevdev
// over the uinput node (ABS_X and ABS_Y 0..65535 and a left button, no touch
// bits, so every desktop treats it as a plain absolute pointer); each injected
// event ends with SYN_REPORT. When it is made and made again is decided by
// the rules in pointer_uinput_internal.h.
//
// Must survive: a node that is not uinput or that we may not open (said once,
// tried again at most once a second, events dropped meanwhile), values outside
// the axis range (clamped: the device cannot carry them), callers on several
// threads (one mutex around the device), no libevdev installed (said once, as
// for a node we may not open).
//
// libevdev is mapped when a device is first made, never in a process whose
// pointer node is a recorder file or missing.
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/clock.h"
#include "platform/failure_note_internal.h"
#include "platform/pointer_sinks.h"
#include "platform/pointer_uinput_internal.h"
#include "platform/shared_library_internal.h"

namespace ce {
namespace {

constexpr int kAxisMax = 65535;
constexpr uint32_t kRetryMs = 1000;

int clampAxis(int32_t value) { return std::clamp<int32_t>(value, 0, kAxisMax); }

}  // namespace

namespace detail {

bool UinputPointer::ensure(const std::string& path) {
  if (made_ && madePath_ == path) return true;
  if (made_) {  // the node now leads elsewhere: start over there
    backend_.destroy();
    made_ = false;
  }
  const uint32_t now = backend_.nowMs();
  if (tried_ && triedPath_ == path && now - triedAt_ < kRetryMs) return false;
  tried_ = true;
  triedAt_ = now;
  triedPath_ = path;
  const int error = backend_.make(path);
  if (error == 0) {
    made_ = true;
    madePath_ = path;
    said_ = false;
    return true;
  }
  if (!said_) backend_.say(path, error);
  said_ = true;
  return false;
}

bool UinputPointer::prepare(const std::string& path) {
  std::lock_guard lock(mutex_);
  return ensure(path);
}

bool UinputPointer::inject(const std::string& path, const PointerEvent& event) {
  std::lock_guard lock(mutex_);
  if (!ensure(path)) return false;
  bool ok = true;
  // A move without the absolute flag would be relative; the touch path never
  // sends one, and this device has no relative axes, so it is left out.
  if ((event.flags & kPointerMove) != 0 && (event.flags & kPointerAbsolute) != 0) {
    ok &= backend_.write(EV_ABS, ABS_X, clampAxis(event.x));
    ok &= backend_.write(EV_ABS, ABS_Y, clampAxis(event.y));
  }
  if ((event.flags & kPointerLeftDown) != 0) ok &= backend_.write(EV_KEY, BTN_LEFT, 1);
  if ((event.flags & kPointerLeftUp) != 0) ok &= backend_.write(EV_KEY, BTN_LEFT, 0);
  ok &= backend_.write(EV_SYN, SYN_REPORT, 0);
  if (!ok) {  // made anew at a later event, no sooner than the retry period
    backend_.destroy();
    made_ = false;
  }
  return ok;
}

}  // namespace detail

namespace {

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

// Called with the pointer's mutex held, like every backend call.
class EvdevBackend final : public detail::UinputBackend {
 public:
  int make(const std::string& path) override {
    const EvdevApi* const api = evdev();
    if (api == nullptr) return ELIBACC;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    const int error = makeOver(*api, fd);
    if (error != 0) {
      ::close(fd);
      return error;
    }
    fd_ = fd;
    return 0;
  }
  void destroy() override {
    if (device_ == nullptr) return;
    evdev()->uinputDestroy(device_);
    ::close(fd_);
    device_ = nullptr;
    fd_ = -1;
  }
  bool write(uint16_t type, uint16_t code, int32_t value) override {
    return device_ != nullptr && evdev()->uinputWrite(device_, type, code, value) == 0;
  }
  uint32_t nowMs() override { return tickCount(); }
  void say(const std::string& path, int error) override {
    detail::noteFailure(path, "cannot make the pointer device", error);
  }

 private:
  int makeOver(const EvdevApi& api, int fd) {
    libevdev* description = api.create();
    if (description == nullptr) return ENOMEM;
    api.setName(description, "serialhub touch panel");
    input_absinfo axis{};
    axis.minimum = 0;
    axis.maximum = kAxisMax;
    api.enableType(description, EV_ABS);
    api.enableCode(description, EV_ABS, ABS_X, &axis);
    api.enableCode(description, EV_ABS, ABS_Y, &axis);
    api.enableType(description, EV_KEY);
    api.enableCode(description, EV_KEY, BTN_LEFT, nullptr);
    const int rc = api.uinputCreate(description, fd, &device_);
    api.free(description);  // the uinput device keeps its own copy
    if (rc == 0) return 0;
    device_ = nullptr;
    return rc < 0 ? -rc : EIO;
  }

  int fd_ = -1;
  libevdev_uinput* device_ = nullptr;
};

detail::UinputPointer& pointer() {
  static EvdevBackend backend;
  static detail::UinputPointer instance(backend);
  return instance;
}

}  // namespace

bool prepareUinputPointer(const std::string& path) { return pointer().prepare(path); }

bool uinputPointerEvent(const std::string& path, const PointerEvent& event) {
  return pointer().inject(path, event);
}

}  // namespace ce
