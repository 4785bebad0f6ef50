// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
#include "tests/integration/wayland_harness.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/wait.h"
#include "tests/support/xvfb_server.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ChildProcess;

namespace wayland_test {
namespace {

constexpr auto kStartDeadline = 30s;  // a GL compositor on a loaded 2-core machine
constexpr uid_t kNobody = 65534;

bool onPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string missingProgram(std::initializer_list<const char*> programs) {
  for (const char* program : programs) {
    if (!onPath(program)) return std::string(program) + " is not installed (scripts/deps.sh)";
  }
  return "";
}

std::string makeRuntimeFolder() {
  std::string folder = (fs::temp_directory_path() / "serialhub-wayland-XXXXXX").string();
  return mkdtemp(folder.data()) != nullptr ? folder : "";
}

// A binary PPM (P6, maxval 255) as 0x00RRGGBB pixels.
std::optional<Screenshot> readPpm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int width = 0, height = 0, maxval = 0;
  if (!(in >> magic >> width >> height >> maxval) || magic != "P6" || maxval != 255 || width <= 0 || height <= 0) {
    return std::nullopt;
  }
  in.get();  // the one white-space byte before the samples
  std::vector<unsigned char> bytes(static_cast<size_t>(width) * height * 3);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) return std::nullopt;
  Screenshot shot{width, height, std::vector<uint32_t>(bytes.size() / 3)};
  for (size_t i = 0; i < shot.pixels.size(); ++i) {
    shot.pixels[i] = static_cast<uint32_t>(bytes[3 * i] << 16 | bytes[3 * i + 1] << 8 | bytes[3 * i + 2]);
  }
  return shot;
}

// Weston 10 with kiosk-shell.so on a private Xvfb, its GL renderer (Mesa's
// software one): its pixman renderer's screenshots come back empty for a
// surface that covers the output.
class Weston final : public Compositor {
 public:
  explicit Weston(const testing_support::DeviceSandbox& sandbox) : sandbox_(sandbox) {}
  ~Weston() override {
    weston_.reset();
    std::error_code ignored;
    if (!runtime_.empty()) fs::remove_all(runtime_, ignored);
  }

  bool start(std::string& whyNot) override {
    whyNot = missingProgram({"weston", "weston-screenshooter", "convert"});
    if (!whyNot.empty() || !xvfb_.start(whyNot)) return false;
    if ((runtime_ = makeRuntimeFolder()).empty()) return (whyNot = "no runtime folder"), false;
    weston_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"env", "XDG_RUNTIME_DIR=" + runtime_, "weston", "--backend=x11-backend.so",
                                 "--shell=kiosk-shell.so", "--debug", "--no-config", "--socket=" + kSocket,
                                 "--width=800", "--height=480", "--idle-time=0"},
        runtime_ + "/weston.out", runtime_ + "/weston.log");
    const std::string socket = runtime_ + "/" + kSocket;
    if (!testing_support::waitUntil([&] { return fs::exists(socket) || weston_->finish(0ms) >= 0; }, kStartDeadline) ||
        !fs::exists(socket)) {
      whyNot = "weston did not start (" + runtime_ + "/weston.log)";
      return false;
    }
    return true;
  }

  // DISPLAY stays set: with both, the notice must choose Wayland.
  std::unique_ptr<ChildProcess> client(std::vector<std::string> argv, const std::string& errPath) override {
    argv.insert(argv.begin(), {"env", "XDG_RUNTIME_DIR=" + runtime_, "WAYLAND_DISPLAY=" + kSocket,
                               "DISPLAY=" + xvfb_.display(), "CE_ROOT=" + sandbox_.root(),
                               "CE_OBJECTS=" + sandbox_.objects()});
    return std::make_unique<ChildProcess>(argv, "", errPath);
  }

  // weston-screenshooter writes a PNG named after the time into its working folder.
  std::optional<Screenshot> screenshot() override {
    const std::string folder = runtime_ + "/shot";
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::create_directory(folder);
    if (client({"sh", "-c", "cd '" + folder + "' && weston-screenshooter && convert *.png -alpha off ppm:../shot.ppm"}, "")
            ->finish(20s) != 0) {
      return std::nullopt;
    }
    return readPpm(runtime_ + "/shot.ppm");
  }

  void kill() override { weston_.reset(); }

 private:
  inline static const std::string kSocket = "serialhub-test";
  const testing_support::DeviceSandbox& sandbox_;
  testing_support::XvfbServer xvfb_;
  std::string runtime_;
  std::unique_ptr<ChildProcess> weston_;
};

// cage on wlroots' headless backend with the pixman renderer, its output
// rotated: an unrotated output would scan the notice's buffer out directly,
// and wlroots' screen capture cannot read such a buffer back (it comes out
// black). The rotation leaves the notice as it is, only the output becomes
// 720x1280. Run as nobody when the test runs as root.
class Cage final : public Compositor {
 public:
  explicit Cage(const testing_support::DeviceSandbox& sandbox) : sandbox_(sandbox) {}
  ~Cage() override {
    cage_.reset();
    std::error_code ignored;
    if (!runtime_.empty()) fs::remove_all(runtime_, ignored);
  }

  bool start(std::string& whyNot) override {
    whyNot = missingProgram({"cage", "grim", "Xwayland", "setpriv"});
    if (!whyNot.empty()) return false;
    if ((runtime_ = makeRuntimeFolder()).empty()) return (whyNot = "no runtime folder"), false;
    // The compositor's user owns its runtime folder and the device's objects.
    if (geteuid() == 0 && (chown(runtime_.c_str(), kNobody, kNobody) != 0 ||
                           chown(sandbox_.base().c_str(), kNobody, kNobody) != 0 ||
                           chown(sandbox_.objects().c_str(), kNobody, kNobody) != 0)) {
      return (whyNot = "cannot hand the folders to nobody"), false;
    }
    // cage ends with its program; this one ends with cage, whatever ends cage.
    cage_ = std::make_unique<ChildProcess>(
        asUser({"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR=" + runtime_, "WLR_BACKENDS=headless",
                "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1", "cage", "-r", "--", "sh", "-c",
                "while kill -0 $PPID 2>/dev/null; do sleep 1; done"}),
        "", runtime_ + "/cage.log");
    const std::string socket = runtime_ + "/wayland-0";
    if (!testing_support::waitUntil([&] { return fs::exists(socket) || cage_->finish(0ms) >= 0; }, kStartDeadline) ||
        !fs::exists(socket)) {
      whyNot = "cage did not start (" + runtime_ + "/cage.log)";
      return false;
    }
    return true;
  }

  std::unique_ptr<ChildProcess> client(std::vector<std::string> argv, const std::string& errPath) override {
    argv.insert(argv.begin(), {"env", "-u", "DISPLAY", "XDG_RUNTIME_DIR=" + runtime_, "WAYLAND_DISPLAY=wayland-0",
                               "CE_ROOT=" + sandbox_.root(), "CE_OBJECTS=" + sandbox_.objects()});
    return std::make_unique<ChildProcess>(asUser(argv), "", errPath);
  }

  std::optional<Screenshot> screenshot() override {
    const std::string path = runtime_ + "/shot.ppm";
    if (client({"grim", "-t", "ppm", path}, "")->finish(20s) != 0) return std::nullopt;
    return readPpm(path);
  }

  void kill() override { cage_.reset(); }

  std::string reachable(const std::string& program) override {
    const std::string copy = runtime_ + "/" + fs::path(program).filename().string();
    std::error_code failed;
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing, failed);
    return failed ? program : copy;
  }

 private:
  static std::vector<std::string> asUser(std::vector<std::string> argv) {
    if (geteuid() == 0) {
      argv.insert(argv.begin(), {"setpriv", "--reuid=" + std::to_string(kNobody),
                                 "--regid=" + std::to_string(kNobody), "--clear-groups"});
    }
    return argv;
  }

  const testing_support::DeviceSandbox& sandbox_;
  std::string runtime_;
  std::unique_ptr<ChildProcess> cage_;
};

}  // namespace

std::unique_ptr<Compositor> makeWeston(const testing_support::DeviceSandbox& sandbox) {
  return std::make_unique<Weston>(sandbox);
}

std::unique_ptr<Compositor> makeCage(const testing_support::DeviceSandbox& sandbox) {
  return std::make_unique<Cage>(sandbox);
}

}  // namespace wayland_test
