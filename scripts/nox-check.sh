#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# The build for images without X or sound, proven where their headers cannot
# be: a minimal Debian root (debootstrap, cached between runs) holding only
# the build's own dependencies, with no X11, ALSA or libsndfile -dev package.
# Configures there with -DSERIALHUB_X11=OFF -DSERIALHUB_SOUND=OFF and warnings
# as errors, builds, and runs the whole ctest suite inside the root (chroot):
# the daemon runs frames through a pty in its integration tests. Needs root.
#
# NOX_CHECK_CACHE (default /var/cache/serialhub-nox-check) keeps the root;
# NOX_CHECK_MIRROR names the Debian mirror. The build folder stays in
# build/nox-check/build, so a second run rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

tool=nox-check
. scripts/debian-root.sh
private_mounts "$@"

suite=bookworm
mirror=${NOX_CHECK_MIRROR:-http://deb.debian.org/debian}
cache=${NOX_CHECK_CACHE:-/var/cache/serialhub-nox-check}
work=$PWD/build/nox-check
# The build's dependencies, and the tools some tests run (cc for the installed
# examples, man, promtool and node_exporter for crtctl's metrics).
include=cmake,ninja-build,build-essential,pkg-config,libgtest-dev,libbenchmark-dev,libevdev-dev,python3,procps
include+=,man-db,prometheus,prometheus-node-exporter
include+=,libwayland-dev,wayland-protocols  # without X, duskcard is built for Wayland alone
started=$SECONDS

# ---- the root: debootstrapped once per suite, mirror and package list
cached_root "$cache" "$suite" "$mirror" "$include"
for header in X11/Xlib.h X11/extensions/XTest.h alsa/asoundlib.h sndfile.h; do
  [ ! -e "$base/usr/include/$header" ] || die "$base has /usr/include/$header: the root proves nothing"
done
say "root ready after $((SECONDS - started)) s"

# ---- this run's root: an overlay on the cached one, the tree read-only in /src
overlay_root "$base" "$work"
mkdir -p "$work/build"
mkdir -p "$root/src" "$root/build"
mount --bind "$PWD" "$root/src" && mount -o remount,bind,ro "$root/src"
mount --bind "$work/build" "$root/build"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"  # the ptys and /dev/shm of the tests
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/tmp"

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

phase=$SECONDS
in_root cmake -S /src -B /build -G Ninja -DSERIALHUB_WERROR=ON -DSERIALHUB_X11=OFF -DSERIALHUB_SOUND=OFF \
  >"$work/configure.log" 2>&1 || { tail -30 "$work/configure.log" >&2; die "configure failed (log: $work/configure.log)"; }
in_root cmake --build /build -j "${JOBS:-2}" >"$work/build.log" 2>&1 ||
  { grep -m 20 -A 5 -e 'error' -e 'FAILED' "$work/build.log" >&2; die "build failed (log: $work/build.log)"; }
say "configured and built in $((SECONDS - phase)) s"
for program in daemon/serialhub client/crtctl sleepscreen/duskcard; do
  if readelf -d "$work/build/$program" | grep -q 'NEEDED.*\(libX\|libasound\|libsndfile\)'; then
    die "$program links X or sound libraries"
  fi
done

phase=$SECONDS
in_root ctest --test-dir /build -j "${JOBS:-2}" --output-on-failure >"$work/test.log" 2>&1 ||
  { grep -e 'tests passed' -e '(Failed)' -e 'Timeout' "$work/test.log" >&2; die "tests failed (log: $work/test.log)"; }
integration=$(in_root ctest --test-dir /build -N -L integration | sed -n 's/^Total Tests: //p')
say "$(grep 'tests passed' "$work/test.log") in $((SECONDS - phase)) s ($integration run real programs)"
say "passed in $((SECONDS - started)) s"
