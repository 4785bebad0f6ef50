// The backlight switch and the key click. Neither keeps state between calls:
// the control thread and the main thread switch the backlight, the serial
// reader and the touch thread click, all without a lock. The lamp is never
// asked for its state; backlightOn is the daemon's own record of it.
//
// Must survive: a missing backlight device (nothing is sent, the caller's flag
// stands), a missing or broken click file (nothing plays), clicks from two
// threads at once (the sound layer drops all but one).
#include "devices/backlight_click.h"

#include "platform/clock.h"
#include "platform/named_event.h"
#include "platform/sound.h"

std::atomic<int32_t> backlightOn{1};

namespace {

const DeviceServices kPlatformServices = {ce::openDevice, ce::deviceIoControl, ce::closeDevice,
                                          ce::playSoundAsyncNoStop};

std::atomic<const DeviceServices*> services{&kPlatformServices};

class DaemonHooks final : public FrameAssemblerHooks {
 public:
  uint32_t tickCount() override { return ce::tickCount(); }
  int32_t backlightOn() override { return ::backlightOn.load(std::memory_order_relaxed); }
  void keyClick(int32_t kind) override { KeyClick(kind); }
  void setEvent(ce::NamedEvent* event) override { ce::setEvent(event); }
};

}  // namespace

const DeviceServices& platformDeviceServices() { return kPlatformServices; }

void setDeviceServices(const DeviceServices* replacement) {
  services.store(replacement != nullptr ? replacement : &kPlatformServices);
}

void BacklightSwitch(int32_t on) {
  const DeviceServices& platform = *services.load();
  ce::DeviceHandle* device = platform.openDevice("BKL1:");
  if (device == nullptr) return;
  // The outcome is not examined: a failed request leaves the lamp as it was.
  platform.deviceIoControl(device, on != 0 ? ce::kBacklightOnCode : ce::kBacklightOffCode, nullptr, 0, nullptr,
                           0, nullptr);
  platform.closeDevice(device);
}

int32_t KeyClick(int32_t kind) {
  if (kind == 1 || kind == 2) services.load()->playSound(kClickSoundPath);
  return 1;
}

FrameAssemblerHooks& daemonFrameAssemblerHooks() {
  static DaemonHooks hooks;
  return hooks;
}
