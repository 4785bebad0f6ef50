// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// The pool lives only as long as it takes to cut the buffer from it: the
// buffer keeps the memory shared with the compositor, and our mapping stays.
#include "platform/wayland_buffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace shub::os {

void ShmBuffer::released(void* data, wl_buffer*) { static_cast<ShmBuffer*>(data)->busy_ = false; }

std::unique_ptr<ShmBuffer> ShmBuffer::create(wl_shm* shm, int width, int height, std::string* why) {
  // A pool is at most INT_MAX bytes: a larger size is refused, not wrapped.
  if (width <= 0 || height <= 0 || width > INT_MAX / 4 / height) {
    *why = "no picture of " + std::to_string(width) + "x" + std::to_string(height) + " pixels";
    return nullptr;
  }
  std::unique_ptr<ShmBuffer> picture(new ShmBuffer);
  picture->width_ = width;
  picture->height_ = height;
  picture->bytes_ = static_cast<size_t>(width) * 4 * height;
  const int fd = memfd_create("duskcard-picture", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  void* map = MAP_FAILED;
  if (fd >= 0 && ftruncate(fd, static_cast<off_t>(picture->bytes_)) == 0) {
    map = mmap(nullptr, picture->bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  if (map == MAP_FAILED) {
    *why = std::string("no memory for the picture: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return nullptr;
  }
  // Its size can no longer change: the compositor never sees it shrink.
  fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
  picture->pixels_ = static_cast<uint32_t*>(map);
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<int32_t>(picture->bytes_));
  picture->buffer_ = wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  static const wl_buffer_listener listener = {released};
  wl_buffer_add_listener(picture->buffer_, &listener, picture.get());
  return picture;
}

ShmBuffer::~ShmBuffer() {
  if (buffer_ != nullptr) wl_buffer_destroy(buffer_);
  if (pixels_ != nullptr) munmap(pixels_, bytes_);
}

}  // namespace shub::os
