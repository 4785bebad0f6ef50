// Drawing contexts (see gdi.h). A window context draws into the window's X
// drawable (gdi_x11.cpp); a memory context only holds a selected bitmap.
//
// Contexts are checked against the live list before use: a stale or forged
// handle is refused rather than dereferenced.
#include "platform/gdi.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "platform/dib.h"
#include "platform/gdi_x11.h"

namespace ce {

struct DeviceContext {
  Window* window = nullptr;  // set for a window's context
  Bitmap* selected = nullptr;  // memory context: the bitmap it holds
  DeviceContext* next = nullptr;
};

namespace {

constexpr int kMaxExtent = 32767;  // X coordinates and sizes are 16-bit

// Memory contexts start with this selected: no pixels, never deleted.
Bitmap stockBitmap;

std::mutex contextsMutex;
DeviceContext* liveContexts = nullptr;  // guarded by contextsMutex

bool contextAlive(const DeviceContext* context) {
  if (context == nullptr) return false;
  std::lock_guard lock(contextsMutex);
  for (const DeviceContext* c = liveContexts; c != nullptr; c = c->next) {
    if (c == context) return true;
  }
  return false;
}

DeviceContext* addContext(Window* window) {
  auto* context = new (std::nothrow) DeviceContext;
  if (context == nullptr) return nullptr;
  context->window = window;
  context->selected = window == nullptr ? &stockBitmap : nullptr;
  std::lock_guard lock(contextsMutex);
  context->next = liveContexts;
  liveContexts = context;
  return context;
}

bool removeContext(DeviceContext* context) {
  std::lock_guard lock(contextsMutex);
  for (DeviceContext** link = &liveContexts; *link != nullptr; link = &(*link)->next) {
    if (*link == context) {
      *link = context->next;
      return true;
    }
  }
  return false;
}

}  // namespace

DeviceContext* getDC(Window* window) {
  if (window == nullptr || !gdiCanDraw(window)) return nullptr;
  return addContext(window);
}

int releaseDC(Window* window, DeviceContext* context) {
  // Liveness first: a stale handle must not be read.
  if (!contextAlive(context) || context->window == nullptr || context->window != window) return 0;
  if (!removeContext(context)) return 0;
  delete context;
  return 1;
}

DeviceContext* createCompatibleDC(DeviceContext* context) {
  if (context != nullptr && !contextAlive(context)) return nullptr;
  return addContext(nullptr);
}

bool deleteDC(DeviceContext* context) {
  if (!contextAlive(context) || context->window != nullptr || !removeContext(context)) return false;
  // The bitmap it held is deselected, so that it can be deleted afterwards.
  if (context->selected != nullptr && context->selected != &stockBitmap) {
    context->selected->selectedInto = nullptr;
  }
  delete context;
  return true;
}

Bitmap* selectObject(DeviceContext* context, Bitmap* bitmap) {
  if (bitmap == nullptr || !contextAlive(context) || context->window != nullptr) return nullptr;
  if (bitmap->selectedInto != nullptr && bitmap->selectedInto != context) return nullptr;
  Bitmap* previous = context->selected;
  if (previous != nullptr && previous != &stockBitmap) previous->selectedInto = nullptr;
  context->selected = bitmap;
  if (bitmap != &stockBitmap) bitmap->selectedInto = context;
  return previous;
}

bool bitBlt(DeviceContext* dest, int x, int y, int width, int height, DeviceContext* source,
            int srcX, int srcY, uint32_t rop) {
  if (rop != SRCCOPY || width <= 0 || height <= 0) return false;
  if (!contextAlive(dest) || dest->window == nullptr) return false;
  if (!contextAlive(source) || source->window != nullptr) return false;
  if (x < -kMaxExtent || y < -kMaxExtent || x > kMaxExtent || y > kMaxExtent) return false;
  return gdiCopyToWindow(dest->window, x, y, std::min(width, kMaxExtent),
                      std::min(height, kMaxExtent), source->selected, srcX, srcY);
}

bool deleteObject(Bitmap* bitmap) {
  if (bitmap == nullptr || bitmap == &stockBitmap || bitmap->selectedInto != nullptr) return false;
  destroyDibSection(bitmap);
  return true;
}

}  // namespace ce
