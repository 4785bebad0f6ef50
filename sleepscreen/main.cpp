// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// duskcard: the full-screen sleep notice. One instance at a time (a second
// start brings the first forward and exits -1, seen by the shell as 255), a
// window over the whole screen that shows the notice's bitmap, and an exit
// with 0 when the notice's time is up. The command line ("sleep" when the
// daemon starts it) is not interpreted.
//
// Must survive a missing or broken bitmap (the screen shows black and the
// program still ends on time) and a machine without a display (exit 16).
//
// Where WAYLAND_DISPLAY names a compositor that offers xdg_wm_base the notice
// is a Wayland toplevel, even when DISPLAY is set too; otherwise an X window.
#include <getopt.h>

#include <cstdio>
#include <string>

#include "platform/log.h"
#include "platform/named_objects.h"
#include "platform/notice_window.h"
#include "platform/paths.h"
#include "platform/window_socket.h"
#include "platform/x11_window.h"
#include "sleepscreen/bmp_file.h"
#include "sleepscreen/notice_state.h"

namespace shub::sleepscreen {
namespace {

constexpr char kMutexName[] = "GUID_SLEEP_20130830";
constexpr char kClassName[] = "SLEEP";
constexpr char kTitle[] = "SLEEP";
constexpr char kBitmapPath[] = "residentflash2\\korvent\\app\\duskcard.bmp";
constexpr int kExitAlreadyRunning = -1;
constexpr int kExitNoWindow = 16;

Millis now() { return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now().time_since_epoch()); }

// The file is read anew at each paint: it may appear, vanish or be replaced
// while the notice shows. Where there is no usable image the screen is black.
void paintNotice(os::NoticeWindow& window) {
  const std::optional<std::string> path = os::resolveDevicePath(kBitmapPath);
  BmpImage image;
  const BmpRefusal refusal = path ? readBmpFile(path->c_str(), image) : BmpRefusal::cannotOpen;
  // Said once per reason: every repaint reads the file again.
  static BmpRefusal said = BmpRefusal::none;
  if (refusal != BmpRefusal::none && refusal != said) {
    os::logWarning("%s: %s; the notice shows black", path ? path->c_str() : kBitmapPath, bmpRefusalText(refusal));
  }
  said = refusal;
  window.paint([&image](int y, std::span<uint32_t> row) { image.copyRow(y, row); });
}

// Wayland first, then X; `why` says what each refused.
std::unique_ptr<os::NoticeWindow> openNoticeWindow(std::string* why) {
  std::string wayland;
  if (auto window = os::createWaylandNoticeWindow(kClassName, kTitle, &wayland)) return window;
  std::string x;
  if (auto window = os::createX11NoticeWindow(kClassName, kTitle, &x)) return window;
  *why = wayland + "; " + x;
  return nullptr;
}

// The running notice's socket when it has one (Wayland), else its X window.
void bringRunningNoticeForward() {
  std::string why;
  const os::WindowMessage request{os::WindowMessage::Kind::comeForward};
  const os::WindowSocketPost posted = os::postToWindowSocket(kClassName, request, &why);
  if (posted == os::WindowSocketPost::failed) os::logWarning("%s", why.c_str());
  if (posted == os::WindowSocketPost::noWindow) os::bringWindowToForeground(kClassName, kTitle);
}

int runDuskcard() {
  // Kept open to the end of the process: only the name's existence matters.
  // A mutex that cannot be made at all leaves this run without the guard.
  static const os::InstanceLock guard(kMutexName);
  if (guard.heldElsewhere()) {
    bringRunningNoticeForward();
    return kExitAlreadyRunning;
  }
  std::string failure;
  const std::unique_ptr<os::NoticeWindow> window = openNoticeWindow(&failure);
  if (window == nullptr) {
    os::logError("no window: %s", failure.c_str());
    return kExitNoWindow;
  }
  NoticeState state(now());  // the time-out counts from the window's creation
  for (;;) {
    const os::NoticeWindowEvent event = window->wait(state.timeLeft(now()));
    // The clock is read once the wait is over: a message re-arms from the
    // moment it arrived, not from when the wait for it began.
    const NoticeAction action = state.on(event, now());
    if (action == NoticeAction::paint) paintNotice(*window);
    if (action == NoticeAction::quit) return 0;
  }
}

}  // namespace
}  // namespace shub::sleepscreen

int main(int argc, char** argv) {
  // Only these two are options; every other command line ("sleep" from the
  // daemon, nothing, anything) shows the notice alike.
  const option options[] = {{"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}};
  opterr = 0;
  switch (getopt_long(argc, argv, "+", options, nullptr)) {
    case 'h':
      std::fputs(
          "usage: duskcard [anything]\n"
          "Covers the screen of $WAYLAND_DISPLAY or else $DISPLAY with\n"
          "residentflash2/korvent/app/duskcard.bmp\n"
          "below $CE_ROOT for 15 s, or until 2 s after window message 1330 or 1336.\n"
          "Exit status: 0 at the end, 255 when another instance runs, 16 without a window.\n",
          stdout);
      return 0;
    case 'V':
      std::fputs("duskcard " SERIALHUB_VERSION "\n", stdout);
      return 0;
    default:
      return shub::sleepscreen::runDuskcard();
  }
}
