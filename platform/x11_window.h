// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Top-level X11 windows: duskcard's notice window on X, and a window found by class
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
#include "platform/notice_window.h"

struct _XDisplay;  // Xlib's Display, kept out of the programs' headers

namespace shub::os {

// Message `number` with the sender's two arguments, one read unsigned and one
// signed. False when there is no display, no such window, or it was not sent;
// when X itself is out of reach (a build without X, no libX11), `*why` says so.
bool postWindowMessage(const char* className, const char* title, uint32_t number, uint32_t unsignedArgument,
                       int32_t signedArgument, std::string* why);

// Nothing happens when there is no display or no such window.
void bringWindowToForeground(const char* className, const char* title);

// A screen-sized undecorated window at (0, 0), without backing store so every
// Expose asks for a repaint. A lost server is said once; later waits run out.
// Made by createX11NoticeWindow (notice_window.h).
class X11NoticeWindow final : public NoticeWindow {
 public:
  static std::unique_ptr<X11NoticeWindow> create(const char* className, const char* title, std::string* why);
  ~X11NoticeWindow() override;
  X11NoticeWindow(const X11NoticeWindow&) = delete;
  X11NoticeWindow& operator=(const X11NoticeWindow&) = delete;

  NoticeWindowEvent wait(std::chrono::milliseconds timeout) override;
  // In bands of rows. Visuals other than 24- or 32-bit TrueColor are left
  // unpainted. The first paint also gives the window the standard arrow.
  void paint(const RowSource& fillRow) override;

 private:
  X11NoticeWindow() = default;
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
