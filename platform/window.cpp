// Window classes and windows: creation with a synchronous WM_CREATE, the
// default window procedure, sent messages, show/update, find and foreground.
//
// Every Window* that comes in is checked against the live registry first, so a
// destroyed handle (or one a procedure keeps using after WM_CLOSE) is refused
// rather than dereferenced. Local windows are created and destroyed by their
// owner thread only; other threads merely post to them. Windows of other
// processes appear as proxy records that the platform owns and reuses.
#include <strings.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/x11_window.h"

namespace ce {

namespace {

// Class atoms start where the original system's string atoms start.
constexpr uint16_t kFirstClassAtom = 0xC000;
constexpr uint32_t kExposureWaitMs = 2000;
constexpr int kMaxX11Coordinate = 32767;  // X positions are 16-bit signed
constexpr int kMaxX11Size = 32767;

struct WindowClass {
  std::string name;
  WindowProc procedure = nullptr;
};

struct Registry {
  std::mutex mutex;
  std::vector<WindowClass> classes;
  std::vector<std::unique_ptr<Window>> windows;  // local windows and foreign proxies
};

Registry& registry() {
  static Registry instance;
  return instance;
}

// Class and title compare without regard to case, as the original system does;
// a null pattern matches anything.
bool namesMatch(const char* pattern, const std::string& value) {
  return !pattern || strcasecmp(pattern, value.c_str()) == 0;
}

// Caller holds the registry lock.
Window* findLive(Window* window) {
  for (const auto& w : registry().windows) {
    if (w.get() == window) return w.get();
  }
  return nullptr;
}

// A live local window owned by the calling thread; null otherwise.
Window* ownWindow(Window* window) {
  const std::shared_ptr<MessageQueue> self = currentQueue();
  std::lock_guard lock(registry().mutex);
  Window* w = findLive(window);
  return w && !w->foreign && w->owner == self ? w : nullptr;
}

bool classLookup(const char* className, WindowClass& out) {
  std::lock_guard lock(registry().mutex);
  for (const WindowClass& c : registry().classes) {
    if (namesMatch(className, c.name)) {
      out = c;
      return true;
    }
  }
  return false;
}

Window* addWindow(std::unique_ptr<Window> window) {
  std::lock_guard lock(registry().mutex);
  registry().windows.push_back(std::move(window));
  return registry().windows.back().get();
}

// Takes the record out of the registry; the caller frees it.
std::unique_ptr<Window> removeWindow(Window* window) {
  std::lock_guard lock(registry().mutex);
  auto& all = registry().windows;
  auto it = std::find_if(all.begin(), all.end(), [&](const auto& w) { return w.get() == window; });
  if (it == all.end()) return nullptr;
  std::unique_ptr<Window> record = std::move(*it);
  all.erase(it);
  return record;
}

Window* findLocal(const char* className, const char* title) {
  std::lock_guard lock(registry().mutex);
  for (const auto& w : registry().windows) {
    if (!w->foreign && !w->destroying && namesMatch(className, w->className) &&
        namesMatch(title, w->title)) {
      return w.get();
    }
  }
  return nullptr;
}

Window* foreignProxy(unsigned long client, unsigned long frame) {
  std::lock_guard lock(registry().mutex);
  for (const auto& w : registry().windows) {
    if (w->foreign && w->xid == client) {
      w->frame = frame;
      return w.get();
    }
  }
  auto proxy = std::make_unique<Window>();
  proxy->foreign = true;
  proxy->xid = client;
  proxy->frame = frame;
  registry().windows.push_back(std::move(proxy));
  return registry().windows.back().get();
}

// Sizes of 0 (or less) make a message-only window; larger ones are clamped to
// what X can represent instead of wrapping.
bool wantsDisplay(int width, int height) { return width > 0 && height > 0; }

}  // namespace

uint16_t registerClass(const char* className, WindowProc procedure) {
  if (!className || !*className || !procedure) return 0;
  std::lock_guard lock(registry().mutex);
  auto& classes = registry().classes;
  for (const WindowClass& c : classes) {
    if (namesMatch(className, c.name)) return 0;
  }
  if (classes.size() >= 0x3FFF) return 0;
  classes.push_back(WindowClass{className, procedure});
  return static_cast<uint16_t>(kFirstClassAtom + classes.size() - 1);
}

Window* createWindow(const char* className, const char* title, uint32_t style, int x, int y,
                     int width, int height) {
  WindowClass windowClass;
  if (!className || !classLookup(className, windowClass)) return nullptr;
  auto record = std::make_unique<Window>();
  record->className = windowClass.name;
  record->title = title ? title : "";
  record->procedure = windowClass.procedure;
  record->owner = currentQueue();
  if (wantsDisplay(width, height)) {
    const int clampedX = std::clamp(x, -kMaxX11Coordinate, kMaxX11Coordinate);
    const int clampedY = std::clamp(y, -kMaxX11Coordinate, kMaxX11Coordinate);
    if (!x11CreateWindow(*record, clampedX, clampedY, std::min(width, kMaxX11Size),
                         std::min(height, kMaxX11Size))) {
      return nullptr;
    }
    record->owner->xWindows.fetch_add(1);
  }
  Window* window = addWindow(std::move(record));
  if (sendMessage(window, WM_CREATE, 0, 0) == -1) {
    destroyWindow(window);
    return nullptr;
  }
  if (style & WS_VISIBLE) showWindow(window, SW_SHOWNORMAL);
  return window;
}

bool isWindow(Window* window) { return lookupWindow(window).alive; }

void destroyWindow(Window* window) {
  Window* w = ownWindow(window);
  if (!w || w->destroying.exchange(true)) return;
  sendMessage(w, WM_DESTROY, 0, 0);
  forgetTimers(*w->owner, w);
  std::unique_ptr<Window> record = removeWindow(w);
  if (record && record->xid != 0) {
    x11DestroyWindow(*record);
    record->owner->xWindows.fetch_sub(1);
  }
}

void showWindow(Window* window, int showCommand) {
  Window* w = ownWindow(window);
  if (!w) return;
  const bool show = showCommand != 0;  // 0 is the original system's SW_HIDE
  if (w->visible.exchange(show) == show) return;
  if (w->xid != 0) x11ShowWindow(*w, show);
}

void updateWindow(Window* window) {
  Window* w = ownWindow(window);
  if (!w || !w->visible.load()) return;
  if (w->xid != 0) x11WaitForExposure(*w, kExposureWaitMs);
  // The wait may have run a procedure that destroyed the window.
  if (ownWindow(window) == w && w->needsPaint.exchange(false)) {
    sendMessage(w, WM_PAINT, 0, 0);
  }
}

void setForegroundWindow(Window* window) {
  const WindowRef ref = lookupWindow(window);
  if (!ref.alive || ref.xid == 0) return;
  unsigned long frame = 0;
  {
    std::lock_guard lock(registry().mutex);
    if (Window* w = findLive(window)) frame = w->frame;
  }
  x11Foreground(ref.xid, frame);
}

Window* findWindow(const char* className, const char* title) {
  if (Window* local = findLocal(className, title)) return local;
  unsigned long client = 0, frame = 0;
  if (!x11FindWindow(className, title, client, frame)) return nullptr;
  return foreignProxy(client, frame);
}

intptr_t defWindowProc(Window* window, uint32_t message, uintptr_t, intptr_t) {
  Window* w = ownWindow(window);
  if (!w) return 0;
  switch (message) {
    case WM_PAINT:
      // Validate, then erase: without backing store every paint starts from an
      // unknown background, so each one asks for the erase.
      w->needsPaint.store(false);
      sendMessage(w, WM_ERASEBKGND, 0, 0);
      return 0;
    case WM_CLOSE:
      destroyWindow(w);
      return 0;
    default:
      return 0;
  }
}

intptr_t sendMessage(Window* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  const WindowRef ref = lookupWindow(window);
  if (!ref.alive) return 0;
  if (ref.foreign) {
    // Another process cannot be called synchronously: the message is posted.
    x11PostMessage(ref.xid, message, wParam, lParam);
    return 0;
  }
  if (ref.owner != currentQueue()) {
    // Cross-thread sends are not synchronous here either; the owner gets it
    // through its queue.
    ref.owner->post(Message{window, message, wParam, lParam, tickCount()});
    return 0;
  }
  const WindowProc procedure = windowProcedureFor(window, ref.owner.get());
  return procedure ? procedure(window, message, wParam, lParam) : 0;
}

WindowRef lookupWindow(Window* window) {
  WindowRef ref;
  if (!window) return ref;
  std::lock_guard lock(registry().mutex);
  const Window* w = findLive(window);
  if (!w) return ref;
  ref.alive = true;
  ref.foreign = w->foreign;
  ref.xid = w->xid;
  ref.owner = w->owner;
  return ref;
}

Window* takeWindowToPaint(const MessageQueue* queue) {
  std::lock_guard lock(registry().mutex);
  for (const auto& w : registry().windows) {
    if (!w->foreign && w->owner.get() == queue && w->needsPaint.exchange(false)) return w.get();
  }
  return nullptr;
}

WindowProc windowProcedureFor(Window* window, const MessageQueue* queue) {
  if (!window) return nullptr;
  std::lock_guard lock(registry().mutex);
  const Window* w = findLive(window);
  return w && !w->foreign && w->owner.get() == queue ? w->procedure : nullptr;
}

bool noteWindowEvent(unsigned long xid, WindowEvent event) {
  std::shared_ptr<MessageQueue> owner;
  {
    std::lock_guard lock(registry().mutex);
    for (const auto& w : registry().windows) {
      if (w->foreign || w->xid != xid) continue;
      if (event == WindowEvent::exposed) {
        w->needsPaint.store(true);
        w->exposed.store(true);
      } else {
        w->exposed.store(false);
      }
      owner = w->owner;
      break;
    }
  }
  if (!owner) return false;
  owner->wake();
  return true;
}

bool postToXWindow(unsigned long xid, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  Window* target = nullptr;
  std::shared_ptr<MessageQueue> owner;
  {
    std::lock_guard lock(registry().mutex);
    for (const auto& w : registry().windows) {
      if (!w->foreign && w->xid == xid) {
        target = w.get();
        owner = w->owner;
        break;
      }
    }
  }
  return owner && owner->post(Message{target, message, wParam, lParam, tickCount()});
}

}  // namespace ce
