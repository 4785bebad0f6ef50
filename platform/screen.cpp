// Screen metrics from the simulated screen node, the X server or the
// framebuffer, in that order.
//
// Must survive: a node that is not a regular file (a FIFO must not block the
// caller), text with white space or a newline around it, malformed or
// oversized numbers (the source is skipped, nothing overflows), an X server
// that restarts or changes resolution (x11_input_display), and being called
// from several threads every frame (the node's path is remembered per
// CE_ROOT, so a frame costs one open and one read, not a directory scan).
#include "platform/screen.h"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/paths.h"
#include "platform/small_file_internal.h"
#include "platform/x11_input_display.h"

namespace ce {

namespace {

constexpr int32_t kMaxDimension = 1 << 20;  // far beyond any screen; keeps sums in range
constexpr size_t kMaxFileBytes = 64;

std::optional<int32_t> parseDimension(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  int64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > kMaxDimension) return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

// "800x480" (or "W,H" for the framebuffer) with optional white space around.
std::optional<ScreenSize> parseSize(std::string_view text, std::string_view separators) {
  text = detail::trimSpace(text);
  const size_t split = text.find_first_of(separators);
  if (split == std::string_view::npos) return std::nullopt;
  const auto width = parseDimension(text.substr(0, split));
  const auto height = parseDimension(text.substr(split + 1));
  if (!width || !height) return std::nullopt;
  return ScreenSize{*width, *height};
}

// The node's path, remembered for the CE_ROOT it was found under.
struct NodeCache {
  std::mutex mutex;
  std::string root;
  std::optional<std::string> path;
};

std::optional<ScreenSize> fromScreenNode() {
  static NodeCache cache;
  std::optional<std::string> text;
  {
    std::lock_guard lock(cache.mutex);
    const std::string root = ceRoot();
    if (cache.root != root || !cache.path) {
      cache.root = root;
      cache.path = findDeviceNode("screen");
    }
    if (cache.path) text = detail::readSmallFile(*cache.path, kMaxFileBytes, detail::TooLong::refuse);
    if (!text && cache.path) {  // gone or renamed since: look again
      cache.path = findDeviceNode("screen");
      if (cache.path) text = detail::readSmallFile(*cache.path, kMaxFileBytes, detail::TooLong::refuse);
    }
  }
  if (!text) return std::nullopt;
  return parseSize(*text, "xX");
}

// The root window's current size, so an xrandr change is followed (the
// screen size Xlib keeps, DisplayWidth, is fixed when the connection opens).
std::optional<ScreenSize> fromXServer() {
  std::optional<ScreenSize> size;
  withX11InputDisplay([&size](const X11InputScreen& x) {
    size = ScreenSize{x.width, x.height};
    return true;
  });
  return size;
}

std::optional<ScreenSize> fromFramebuffer() {
  const auto text =
      detail::readSmallFile("/sys/class/graphics/fb0/virtual_size", kMaxFileBytes, detail::TooLong::refuse);
  if (!text) return std::nullopt;
  return parseSize(*text, ",");
}

}  // namespace

ScreenSize screenMetrics() {
  if (auto size = fromScreenNode()) return *size;
  if (auto size = fromXServer()) return *size;
  if (auto size = fromFramebuffer()) return *size;
  return ScreenSize{};
}

}  // namespace ce
