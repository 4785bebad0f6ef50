# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# 32-bit ARMv7 boards (Debian armhf): Debian's cross compiler
# (g++-arm-linux-gnueabihf), the multiarch :armhf -dev packages, and qemu-user
# to run what is built. 64-bit file offsets and time as Debian's armhf builds
# them from trixie on: a 32-bit time_t ends in 2038, a 32-bit off_t and ino_t
# make readdir fail with EOVERFLOW on file systems with 64-bit cookies.
set(SERIALHUB_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(SERIALHUB_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
# GCC notes, for code built by GCC before 7.1, that some iterators are passed
# differently since: everything here is built by one compiler, so the note
# tells nothing about this code.
add_compile_options(-Wno-psabi)
