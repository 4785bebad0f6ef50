# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# What the Debian cross toolchains share; included by <triplet>.cmake after it
# sets SERIALHUB_TRIPLET, CMAKE_SYSTEM_PROCESSOR and SERIALHUB_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${SERIALHUB_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${SERIALHUB_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${SERIALHUB_TRIPLET})

# Headers and libraries come from the multiarch folders below /usr, programs
# (python3, Xvfb, pkg-config) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SERIALHUB_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The host's pkg-config, pointed at the target's .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${SERIALHUB_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# Target programs (tests, gtest discovery) run under qemu-user with the
# target's loader and libraries from the multiarch packages (libc6:ARCH and
# the rest the -dev packages pull in). Not the cross compiler's copies in
# /usr/<triplet>: its loader would join the multiarch libc that ld.so.cache
# names, and a version apart the two crash the first thread started.
set(CMAKE_CROSSCOMPILING_EMULATOR ${SERIALHUB_QEMU} -L /)
