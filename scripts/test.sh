#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# Set-up and the whole test suite: installs what is missing, then builds and
# tests three times - plain (and an install into a staging folder, and the
# Debian packages checked by lintian and booted in a Debian system under
# systemd, unless DEB_CHECK=0), the build without X or sound in a Debian root
# without their headers (scripts/nox-check.sh, as root, unless NOX_CHECK=0),
# under AddressSanitizer + UBSan (with a short run of every fuzz target), and
# the threaded tests under ThreadSanitizer; then, unless CROSS_CHECK=0, the
# armhf and aarch64 builds with their tests under qemu-user, and their packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

run_ctest() { ctest --test-dir "build/$1" -j 2 --output-on-failure --timeout 120 "${@:2}"; }

echo "== plain build"
scripts/build.sh plain
run_ctest plain

echo "== install into a staging folder"
scripts/install_check.py

if [ "${DEB_CHECK:-1}" != 0 ]; then
  echo "== Debian packages"
  scripts/package.sh
  echo "== the packages in a booted Debian system"
  scripts/system-test.sh --packages build/deb
fi

if [ "${NOX_CHECK:-1}" != 0 ]; then
  echo "== the build without X or sound, in a root without their headers"
  scripts/nox-check.sh
fi

echo "== AddressSanitizer + UBSan build"
scripts/build.sh asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest asan
scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

echo "== ThreadSanitizer build (threaded tests)"
scripts/build.sh tsan --target threaded_tests
TSAN_OPTIONS=halt_on_error=1 run_ctest tsan -L threaded

if [ "${CROSS_CHECK:-1}" != 0 ]; then
  echo "== armhf (32-bit, 64-bit time_t and off_t) under qemu-user"
  scripts/cross-test.sh armhf
  echo "== aarch64 under qemu-user"
  scripts/cross-test.sh arm64
  if [ "${DEB_CHECK:-1}" != 0 ]; then
    echo "== the Debian packages for armhf and arm64"
    scripts/package.sh --arch armhf
    scripts/package.sh --arch arm64
  fi
fi
