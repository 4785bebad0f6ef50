// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// Private to platform/: one wl_shm picture for a Wayland surface, XRGB8888
// (0x00RRGGBB in the host's order, as picture rows come), in a memfd mapped
// for its life. The compositor may read it from commit until its release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct wl_buffer;
struct wl_shm;

namespace shub::os {

class ShmBuffer {
 public:
  // nullptr with `why` when the memory cannot be had.
  static std::unique_ptr<ShmBuffer> create(wl_shm* shm, int width, int height, std::string* why);
  ~ShmBuffer();
  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  std::span<uint32_t> row(int y) const { return {pixels_ + static_cast<size_t>(y) * width_, static_cast<size_t>(width_)}; }
  wl_buffer* buffer() const { return buffer_; }
  // Between a commit of it and the compositor's release: not to be written.
  bool busy() const { return busy_; }
  void committed() { busy_ = true; }

 private:
  ShmBuffer() = default;
  static void released(void* data, wl_buffer* buffer);

  wl_buffer* buffer_ = nullptr;
  uint32_t* pixels_ = nullptr;
  size_t bytes_ = 0;
  int width_ = 0, height_ = 0;
  bool busy_ = false;
};

}  // namespace shub::os
