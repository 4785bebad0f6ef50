#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# Installs the Debian packages that building, testing and the demo need;
#   scripts/deps.sh arm64|armhf ...
# adds, per architecture named, its cross compiler, qemu-user-static and the
# target's multiarch -dev packages (scripts/cross-test.sh).
# Idempotent: does nothing when everything is there already.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libx11-dev libxtst-dev libxfixes-dev libxdamage-dev
  libevdev-dev libasound2-dev libasound2-plugins libsndfile1-dev
  xvfb x11-utils x11-apps imagemagick python3 util-linux procps
  man-db  # the installed manual pages are looked up as a reader would
  systemd  # systemd-sysusers and systemd-tmpfiles deploy the staged install
  # crtctl metrics' test: node_exporter's textfile collector, and promtool
  # (which comes only with the server; on a host run by systemd both
  # packages start their services when installed)
  prometheus-node-exporter prometheus
  debootstrap systemd-container  # the system test boots the packages in a Debian root
  # duskcard on Wayland: the client library and protocol files it is built
  # with, and the kiosk compositors and screenshot tools its tests run
  libwayland-dev wayland-protocols weston cage xwayland grim  # cage will not start without Xwayland
)

# What the target links or its tests load, as :ARCH multiarch packages; the
# emulator runs the target's programs on libc6:ARCH and libstdc++6:ARCH.
target_packages=(
  libc6 libstdc++6
  pkgconf  # its <triplet>-pkg-config, which a Debian cross build (package.sh --arch) calls
  libgtest-dev libgmock-dev libbenchmark-dev
  libx11-dev libxtst-dev libxfixes-dev libxdamage-dev
  libevdev-dev libasound2-dev libsndfile1-dev libwayland-dev
)
new_architectures=()
for arch in "$@"; do
  case "$arch" in
    arm64) packages+=(g++-aarch64-linux-gnu) ;;
    armhf) packages+=(g++-arm-linux-gnueabihf) ;;
    *) echo "deps.sh: unknown architecture: $arch" >&2; exit 2 ;;
  esac
  packages+=(qemu-user-static "${target_packages[@]/%/:$arch}")
  dpkg --print-foreign-architectures | grep -qx "$arch" || new_architectures+=("$arch")
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "installing: ${missing[*]}"
  for arch in "${new_architectures[@]}"; do "${sudo_cmd[@]}" dpkg --add-architecture "$arch"; done
  # A mirror caught mid-sync fails the update of one list; the lists already
  # there may still hold everything missing, so the install decides.
  "${sudo_cmd[@]}" apt-get update -qq || echo "deps.sh: apt-get update failed; installing from the lists there are" >&2
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
