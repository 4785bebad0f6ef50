// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Top-level X11 windows: duskcard's notice window, and a window found by class
// and title (case-blind, through frames) to bring forward or post a message to
// (a _CE_WINDOW_MESSAGE ClientMessage of three 32-bit values).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/log.h"

struct _XDisplay;  // Xlib's Display, kept out of the programs' headers

namespace shub::os {

// Message `number` with the sender's two arguments, one read unsigned and one
// signed. False when there is no display, no such window, or it was not sent;
// when X itself is out of reach (a build without X, no libX11), `*why` says so.
bool postWindowMessage(const char* className, const char* title, uint32_t number, uint32_t unsignedArgument,
                       int32_t signedArgument, std::string* why);

// Nothing happens when there is no display or no such window.
void bringWindowToForeground(const char* className, const char* title);

struct NoticeWindowEvent {
  enum class Kind {
    none,            // the wait ran out
    exposed,         // the content is lost: paint again
    message,         // a posted message; its arguments are not used
    closeRequested,  // by the window manager
  };
  Kind kind = Kind::none;
  uint32_t message = 0;
};

// A screen-sized undecorated window at (0, 0), without backing store so every
// Expose asks for a repaint. A lost server is said once; later waits run out.
class NoticeWindow {
 public:
  // Made on $DISPLAY, in front (an Expose follows); else nullptr and `why` (never null).
  static std::unique_ptr<NoticeWindow> create(const char* className, const char* title, std::string* why);
  ~NoticeWindow();
  NoticeWindow(const NoticeWindow&) = delete;
  NoticeWindow& operator=(const NoticeWindow&) = delete;

  // The next event, waiting at most `timeout` for it.
  NoticeWindowEvent wait(std::chrono::milliseconds timeout);
  // Writes the colours of window row y (row 0 at the top) as 0x00RRGGBB
  // into `row`, one entry per column, black before; what the source leaves
  // unwritten stays black.
  using RowSource = std::function<void(int y, std::span<uint32_t> row)>;
  // Paints the whole window in bands of rows, one row asked of `fillRow` at a
  // time. Visuals other than 24- or 32-bit TrueColor are left unpainted. The
  // first paint also gives the window the standard arrow.
  void paint(const RowSource& fillRow);

 private:
  NoticeWindow() = default;
  void putPicture(const RowSource& fillRow);

  _XDisplay* display_ = nullptr;
  unsigned long window_ = 0;
  unsigned long messageAtom_ = 0, protocolsAtom_ = 0, deleteAtom_ = 0;
  int width_ = 0, height_ = 0;
  std::atomic<bool> lost_{false};  // set by the connection's exit handler
  SayOnce lostSaid_;
  bool arrowSet_ = false;
};

}  // namespace shub::os
