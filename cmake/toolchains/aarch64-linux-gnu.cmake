# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# 64-bit ARM boards: Debian's cross compiler (g++-aarch64-linux-gnu), the
# multiarch :arm64 -dev packages, and qemu-user to run what is built.
set(SERIALHUB_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(SERIALHUB_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
