// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// duskcard's notice window, whatever shows it: an X11 window (x11_window.cpp)
// or a Wayland toplevel (wayland_window.cpp). A build without one of them has
// a factory that refuses, saying so.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace shub::os {

struct NoticeWindowEvent {
  enum class Kind {
    none,            // the wait ran out
    exposed,         // the content is lost or the size changed: paint again
    message,         // a posted message; its arguments are not used
    closeRequested,  // by the window manager or compositor
  };
  Kind kind = Kind::none;
  uint32_t message = 0;
};

class NoticeWindow {
 public:
  virtual ~NoticeWindow() = default;

  // The next event, waiting at most `timeout` for it.
  virtual NoticeWindowEvent wait(std::chrono::milliseconds timeout) = 0;
  // Writes the colours of window row y (row 0 at the top) as 0x00RRGGBB
  // into `row`, one entry per column, black before; what the source leaves
  // unwritten stays black.
  using RowSource = std::function<void(int y, std::span<uint32_t> row)>;
  // Paints the whole window, one row asked of `fillRow` at a time.
  virtual void paint(const RowSource& fillRow) = 0;
};

// A screen-sized window on $DISPLAY, in front (an exposed event follows);
// else nullptr and `why` (never null).
std::unique_ptr<NoticeWindow> createX11NoticeWindow(const char* className, const char* title, std::string* why);

// A fullscreen toplevel on the compositor $WAYLAND_DISPLAY names, with app id
// `className`, that takes window messages on the socket of that class
// (window_socket.h); nullptr and `why` when the variable is unset, the
// compositor cannot be reached or offers no xdg_wm_base.
std::unique_ptr<NoticeWindow> createWaylandNoticeWindow(const char* className, const char* title, std::string* why);

}  // namespace shub::os
