// The backlight: the daemon's own record of the lamp (it is never asked), the
// switch that sends the lamp its code, and the key click. Shared by the frame
// assembler, the touch injector, the control channel and the power watcher.
#pragma once

#include <atomic>
#include <cstdint>

namespace shub::devices {

// Request codes a simulated lamp records; tools watching dev/BKL1 rely on them.
inline constexpr uint32_t kBacklightOnCode = 0x321044;
inline constexpr uint32_t kBacklightOffCode = 0x321048;

inline constexpr const char* kClickSoundPath = "\\residentflash2\\click.wav";

// What the lamp and the click ask of the device; tests hand in a fake.
class LampAndSpeaker {
 public:
  virtual ~LampAndSpeaker() = default;
  virtual void switchLamp(bool on) = 0;  // a missing or failing lamp stays as it was
  virtual void playClick() = 0;          // never over a sound still playing
};

class RealLampAndSpeaker final : public LampAndSpeaker {
 public:
  void switchLamp(bool on) override;
  void playClick() override;
};

class Backlight {
 public:
  explicit Backlight(LampAndSpeaker& device) : device_(device) {}

  bool on() const { return on_.load(); }
  // Records `on` first, then sends the lamp its code; with no lamp the record stands.
  void turn(bool on);
  // Records `on` without a code: what the lamp is taken to be.
  void assume(bool on) { on_.store(on); }
  // Plays the click for kinds 1 and 2; other kinds play nothing.
  void keyClick(int32_t kind);

 private:
  LampAndSpeaker& device_;
  std::atomic<bool> on_{true};
};

}  // namespace shub::devices
