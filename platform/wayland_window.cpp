// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// duskcard's notice on a Wayland compositor: a fullscreen xdg toplevel whose
// picture is a wl_shm buffer, painted again whenever a configure brings a new
// size. Window messages come through the class's socket (window_socket.h),
// which also carries a second start's request to come forward: granted
// through xdg_activation_v1 where the compositor offers it. A compositor that
// goes away is said once; later waits serve the socket until they run out.
#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "platform/log.h"
#include "platform/notice_window.h"
#include "platform/wayland_buffer.h"
#include "platform/window_socket.h"
#include "xdg-activation-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace shub::os {
namespace {

using Clock = std::chrono::steady_clock;

template <typename T>
void destroyWith(T*& object, void (*destroy)(T*)) {
  if (object != nullptr) destroy(object);
  object = nullptr;
}

class WaylandNoticeWindow final : public NoticeWindow {
 public:
  static std::unique_ptr<WaylandNoticeWindow> create(const char* className, const char* title, std::string* why);
  ~WaylandNoticeWindow() override;

  NoticeWindowEvent wait(std::chrono::milliseconds timeout) override;
  void paint(const RowSource& fillRow) override;

 private:
  WaylandNoticeWindow() = default;
  bool connect(std::string* why);
  void makeToplevel(const char* className, const char* title);
  ShmBuffer* freeBuffer(std::string* why);
  void comeForward();
  // Reads and dispatches what the compositor sent, waiting at most until `deadline`.
  void pump(Clock::time_point deadline);
  void noteLost();

  // Listeners: the compositor's globals, its liveness check, the toplevel's size and close.
  static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version);
  static void globalRemoved(void*, wl_registry*, uint32_t) {}
  static void ping(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
  static void toplevelConfigure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*);
  static void toplevelClose(void* data, xdg_toplevel*);
  static void surfaceConfigure(void* data, xdg_surface* surface, uint32_t serial);
  static void outputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t);
  static void activationToken(void* data, xdg_activation_token_v1* token, const char* text);

  std::string name_;  // $WAYLAND_DISPLAY, for what is said
  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_compositor* compositor_ = nullptr;
  uint32_t compositorVersion_ = 0;
  wl_shm* shm_ = nullptr;
  wl_output* output_ = nullptr;
  xdg_wm_base* shell_ = nullptr;
  xdg_activation_v1* activation_ = nullptr;
  wl_surface* surface_ = nullptr;
  xdg_surface* xdgSurface_ = nullptr;
  xdg_toplevel* toplevel_ = nullptr;
  WindowMessageSocket messages_;
  std::vector<std::unique_ptr<ShmBuffer>> buffers_;
  std::deque<NoticeWindowEvent> events_;
  int suggestedWidth_ = 0, suggestedHeight_ = 0;  // the last toplevel configure's; 0: ours to choose
  int outputWidth_ = 0, outputHeight_ = 0;        // the first output's current mode
  int width_ = 0, height_ = 0;                    // the size painted at, 0 before the first configure
  bool lost_ = false;
  SayOnce paintSaid_;
};

void WaylandNoticeWindow::global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                                 uint32_t version) {
  auto* self = static_cast<WaylandNoticeWindow*>(data);
  const auto is = [interface](const wl_interface& known) { return std::strcmp(interface, known.name) == 0; };
  if (is(wl_compositor_interface) && self->compositor_ == nullptr) {
    // Version 4 damages in buffer pixels; every version does the rest.
    self->compositorVersion_ = std::min(version, 4u);
    self->compositor_ = static_cast<wl_compositor*>(
        wl_registry_bind(registry, name, &wl_compositor_interface, self->compositorVersion_));
  } else if (is(wl_shm_interface) && self->shm_ == nullptr) {
    self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (is(wl_output_interface) && self->output_ == nullptr) {
    self->output_ = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 1));
    static const wl_output_listener listener = {
        [](void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*, int32_t) {},
        outputMode,
        [](void*, wl_output*) {},
        [](void*, wl_output*, int32_t) {},
        [](void*, wl_output*, const char*) {},
        [](void*, wl_output*, const char*) {}};
    wl_output_add_listener(self->output_, &listener, self);
  } else if (is(xdg_wm_base_interface) && self->shell_ == nullptr) {
    self->shell_ = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
    static const xdg_wm_base_listener listener = {ping};
    xdg_wm_base_add_listener(self->shell_, &listener, self);
  } else if (is(xdg_activation_v1_interface) && self->activation_ == nullptr) {
    self->activation_ =
        static_cast<xdg_activation_v1*>(wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
  }
}

void WaylandNoticeWindow::outputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  auto* self = static_cast<WaylandNoticeWindow*>(data);
  if (flags & WL_OUTPUT_MODE_CURRENT) self->outputWidth_ = width, self->outputHeight_ = height;
}

void WaylandNoticeWindow::toplevelConfigure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
  auto* self = static_cast<WaylandNoticeWindow*>(data);
  self->suggestedWidth_ = width;
  self->suggestedHeight_ = height;
}

void WaylandNoticeWindow::toplevelClose(void* data, xdg_toplevel*) {
  static_cast<WaylandNoticeWindow*>(data)->events_.push_back({NoticeWindowEvent::Kind::closeRequested});
}

// The end of a configure sequence: acknowledged, and a new size (the first
// one included) asks for a picture of that size.
void WaylandNoticeWindow::surfaceConfigure(void* data, xdg_surface* surface, uint32_t serial) {
  auto* self = static_cast<WaylandNoticeWindow*>(data);
  xdg_surface_ack_configure(surface, serial);
  // A size of 0 leaves it to us: the whole output, or a common panel's size
  // while the output has not said its own.
  int width = self->suggestedWidth_ > 0 ? self->suggestedWidth_ : self->outputWidth_;
  int height = self->suggestedHeight_ > 0 ? self->suggestedHeight_ : self->outputHeight_;
  if (width <= 0 || height <= 0) width = 800, height = 480;
  if (width != self->width_ || height != self->height_) {
    self->width_ = width, self->height_ = height;
    self->events_.push_back({NoticeWindowEvent::Kind::exposed});
  } else {
    wl_surface_commit(self->surface_);  // the acknowledgement takes effect with a commit
  }
}

void WaylandNoticeWindow::activationToken(void* data, xdg_activation_token_v1* token, const char* text) {
  auto* self = static_cast<WaylandNoticeWindow*>(data);
  xdg_activation_v1_activate(self->activation_, text, self->surface_);
  xdg_activation_token_v1_destroy(token);
}

bool WaylandNoticeWindow::connect(std::string* why) {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  if (name == nullptr || *name == '\0') {
    *why = "WAYLAND_DISPLAY is not set";
    return false;
  }
  name_ = name;
  if ((display_ = wl_display_connect(nullptr)) == nullptr) {
    *why = "cannot connect to the Wayland display '" + name_ + "': " + std::strerror(errno);
    return false;
  }
  registry_ = wl_display_get_registry(display_);
  static const wl_registry_listener listener = {global, globalRemoved};
  wl_registry_add_listener(registry_, &listener, this);
  if (wl_display_roundtrip(display_) < 0) {
    *why = "the Wayland display '" + name_ + "' went away";
    return false;
  }
  const char* missing = compositor_ == nullptr ? "wl_compositor" : shm_ == nullptr ? "wl_shm" : shell_ == nullptr ? "xdg_wm_base" : nullptr;
  if (missing != nullptr) {
    *why = "the Wayland display '" + name_ + "' offers no " + missing;
    return false;
  }
  return true;
}

void WaylandNoticeWindow::makeToplevel(const char* className, const char* title) {
  surface_ = wl_compositor_create_surface(compositor_);
  xdgSurface_ = xdg_wm_base_get_xdg_surface(shell_, surface_);
  static const xdg_surface_listener surfaceListener = {surfaceConfigure};
  xdg_surface_add_listener(xdgSurface_, &surfaceListener, this);
  toplevel_ = xdg_surface_get_toplevel(xdgSurface_);
  static const xdg_toplevel_listener toplevelListener = {
      toplevelConfigure, toplevelClose, [](void*, xdg_toplevel*, int32_t, int32_t) {},
      [](void*, xdg_toplevel*, wl_array*) {}};
  xdg_toplevel_add_listener(toplevel_, &toplevelListener, this);
  xdg_toplevel_set_app_id(toplevel_, className);
  xdg_toplevel_set_title(toplevel_, title);
  xdg_toplevel_set_fullscreen(toplevel_, nullptr);  // on the output the compositor picks
  wl_surface_commit(surface_);                      // no picture yet: asks for the first configure
  wl_display_flush(display_);
}

}  // namespace

std::unique_ptr<NoticeWindow> createWaylandNoticeWindow(const char* className, const char* title, std::string* why) {
  return WaylandNoticeWindow::create(className, title, why);
}

namespace {

std::unique_ptr<WaylandNoticeWindow> WaylandNoticeWindow::create(const char* className, const char* title,
                                                                 std::string* why) {
  std::unique_ptr<WaylandNoticeWindow> notice(new WaylandNoticeWindow);
  if (!notice->connect(why)) return nullptr;
  // Bound before the window shows: a message sent once it is seen arrives.
  std::string socketWhy;
  notice->messages_ = WindowMessageSocket::bind(className, &socketWhy);
  if (!notice->messages_.valid()) logWarning("%s; window messages cannot reach the notice", socketWhy.c_str());
  notice->makeToplevel(className, title);
  return notice;
}

WaylandNoticeWindow::~WaylandNoticeWindow() {
  buffers_.clear();
  destroyWith(toplevel_, xdg_toplevel_destroy);
  destroyWith(xdgSurface_, xdg_surface_destroy);
  destroyWith(surface_, wl_surface_destroy);
  destroyWith(activation_, xdg_activation_v1_destroy);
  destroyWith(shell_, xdg_wm_base_destroy);
  destroyWith(output_, wl_output_destroy);
  destroyWith(shm_, wl_shm_destroy);
  destroyWith(compositor_, wl_compositor_destroy);
  destroyWith(registry_, wl_registry_destroy);
  if (display_ != nullptr) wl_display_disconnect(display_);
}

void WaylandNoticeWindow::noteLost() {
  if (lost_) return;
  lost_ = true;  // said once: a lost connection stays lost
  logWarning("Wayland display %s: connection lost", name_.c_str());
}

void WaylandNoticeWindow::pump(Clock::time_point deadline) {
  pollfd fds[2] = {{messages_.fd(), POLLIN, 0}, {-1, POLLIN, 0}};
  bool reading = false;
  if (!lost_) {
    // Queued events first: a poll would not see them.
    while (wl_display_prepare_read(display_) != 0) {
      if (wl_display_dispatch_pending(display_) < 0) return noteLost();
    }
    reading = true;
    if (!events_.empty()) {
      wl_display_cancel_read(display_);
      return;
    }
    // Whatever is still unsent goes now; a full socket sends the rest on the next pump.
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(display_);
      return noteLost();
    }
    fds[1].fd = wl_display_get_fd(display_);
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  const int ready = poll(fds, 2, static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX)));
  if (!reading) return;
  if (ready > 0 && fds[1].revents != 0) {
    if (wl_display_read_events(display_) < 0) return noteLost();
  } else {
    wl_display_cancel_read(display_);
  }
  if (wl_display_dispatch_pending(display_) < 0) noteLost();
}

NoticeWindowEvent WaylandNoticeWindow::wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (!events_.empty()) {
      const NoticeWindowEvent event = events_.front();
      events_.pop_front();
      return event;
    }
    while (const std::optional<WindowMessage> message = messages_.receive()) {
      if (message->kind == WindowMessage::Kind::message) return {NoticeWindowEvent::Kind::message, message->number};
      comeForward();
    }
    if (Clock::now() >= deadline) return {};
    pump(deadline);
  }
}

// Kiosk compositors keep a fullscreen toplevel in front of its kind anyway;
// where one offers activation, the notice asks for it.
void WaylandNoticeWindow::comeForward() {
  if (activation_ == nullptr || lost_) return;
  xdg_activation_token_v1* token = xdg_activation_v1_get_activation_token(activation_);
  static const xdg_activation_token_v1_listener listener = {activationToken};
  xdg_activation_token_v1_add_listener(token, &listener, this);
  xdg_activation_token_v1_set_surface(token, surface_);
  xdg_activation_token_v1_commit(token);
  wl_display_flush(display_);
}

// A buffer of the current size the compositor is not reading, made when none is.
ShmBuffer* WaylandNoticeWindow::freeBuffer(std::string* why) {
  std::erase_if(buffers_, [this](const std::unique_ptr<ShmBuffer>& buffer) {
    return !buffer->busy() && (buffer->width() != width_ || buffer->height() != height_);
  });
  for (const std::unique_ptr<ShmBuffer>& buffer : buffers_) {
    if (!buffer->busy()) return buffer.get();
  }
  std::unique_ptr<ShmBuffer> made = ShmBuffer::create(shm_, width_, height_, why);
  if (made == nullptr) return nullptr;
  return buffers_.emplace_back(std::move(made)).get();
}

void WaylandNoticeWindow::paint(const RowSource& fillRow) {
  if (lost_ || width_ == 0) return;
  std::string why;
  ShmBuffer* picture = freeBuffer(&why);
  if (picture == nullptr) {
    if (paintSaid_.allow()) logWarning("Wayland display %s: %s; the notice is not painted", name_.c_str(), why.c_str());
    return;
  }
  for (int y = 0; y < height_; ++y) {
    const std::span<uint32_t> row = picture->row(y);
    std::fill(row.begin(), row.end(), 0);
    fillRow(y, row);
  }
  wl_surface_attach(surface_, picture->buffer(), 0, 0);
  if (compositorVersion_ >= 4) {
    wl_surface_damage_buffer(surface_, 0, 0, width_, height_);
  } else {
    wl_surface_damage(surface_, 0, 0, width_, height_);
  }
  wl_surface_commit(surface_);
  picture->committed();
  if (wl_display_flush(display_) < 0 && errno != EAGAIN) noteLost();
}

}  // namespace
}  // namespace shub::os
