// duskcard's window: one X11 window at (0, 0) the size of the screen, without
// decoration (override-redirect where no window manager runs, the full-screen
// state where one does), with WM_CLASS, WM_NAME and _NET_WM_NAME as given and
// no backing store, so that every Expose asks for a repaint. Messages that
// other processes post to it arrive as _CE_WINDOW_MESSAGE client messages.
//
// Must survive the X server going away while it shows: the wait then simply
// runs out, so that the owner's deadline still ends the program.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

struct _XDisplay;  // Xlib's Display and GC, kept out of the programs' headers
struct _XGC;

namespace ce {

struct NoticeWindowEvent {
  enum class Kind {
    none,            // the wait ran out (or brought nothing for us)
    exposed,         // the content is lost: paint again
    message,         // a posted window message
    closeRequested,  // the window manager asks the window to close
    connectionLost,  // the X server went away; said once, later waits just run out
  };
  Kind kind = Kind::none;
  uint32_t message = 0;
  uint32_t wParam = 0;
  int32_t lParam = 0;
};

class NoticeWindow {
 public:
  // Connects to $DISPLAY, reads the screen size once and makes the window at
  // (0, 0) over the whole screen, not yet shown. nullptr, with the reason in
  // `failure`, without a display or with a screen of no area.
  static std::unique_ptr<NoticeWindow> create(const char* className, const char* title,
                                              std::string& failure);
  ~NoticeWindow();
  NoticeWindow(const NoticeWindow&) = delete;
  NoticeWindow& operator=(const NoticeWindow&) = delete;

  // The screen size read at creation: the window's size.
  int width() const { return width_; }
  int height() const { return height_; }

  // Maps the window and brings it to the foreground; its first Expose follows.
  void show();

  // The next event, waiting at most `timeout` for it on the connection.
  NoticeWindowEvent wait(std::chrono::milliseconds timeout);

  // Puts width() x height() pixels of 0x00RRGGBB, rows from the top, on the
  // window. Visuals other than 24- or 32-bit TrueColor are left unpainted.
  void paint(const uint32_t* rgb);

 private:
  NoticeWindow() = default;
  bool takeEvent(NoticeWindowEvent& event);

  _XDisplay* display_ = nullptr;
  unsigned long window_ = 0;
  _XGC* gc_ = nullptr;
  unsigned long messageAtom_ = 0, protocolsAtom_ = 0, deleteAtom_ = 0;
  int width_ = 0, height_ = 0;
  bool lost_ = false;          // set by the connection's I/O error handler
  bool lostReported_ = false;
};

}  // namespace ce
