#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds for an ARM board and runs the tests under qemu-user:
#   scripts/cross-test.sh arm64|armhf [--build-only | --subset | --test-only] [ctest options]
#     arm64   aarch64-linux-gnu
#     armhf   arm-linux-gnueabihf, 64-bit time_t and off_t
#     --build-only  configure and build only
#     --subset      the shared-memory and frame tests only
#     --test-only   run the tests of the build already there
# Installs what is missing (the cross compiler, qemu-user-static and the
# target's multiarch -dev packages: once per machine), configures a fresh
# build/cross-ARCH, builds with warnings as errors, and runs ctest. Tests start
# target programs themselves (serialhub, crtctl, duskcard): ctest runs in a
# private user namespace whose own binfmt_misc hands them to qemu, so the
# host's binfmt registrations are neither needed nor touched. That needs root
# (to map the host's ids into the namespace) and Linux 6.7 or later (a
# binfmt_misc per user namespace).
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-}
shift || true
case "$arch" in
  arm64|aarch64) arch=arm64 triplet=aarch64-linux-gnu qemu=aarch64 ;;
  armhf)         triplet=arm-linux-gnueabihf qemu=arm ;;
  *) echo "usage: $0 arm64|armhf [--build-only|--subset|--test-only] [ctest options]" >&2; exit 2 ;;
esac
mode=all
case "${1:-}" in
  --build-only) mode=build; shift ;;
  --subset)     mode=subset; shift ;;
  --test-only)  mode=test; shift ;;
esac

scripts/deps.sh "$arch"
if [ "$mode" != build ] && [ "$(id -u)" -ne 0 ]; then
  echo "cross-test.sh: the tests under qemu need root (a user namespace with the host's ids); --build-only does not" >&2
  exit 2
fi

build=build/cross-$arch
if [ "$mode" != test ]; then
  rm -rf "$build"
  echo "== $arch: configure and build ($build)"
  start=$SECONDS
  cmake -S . -B "$build" -G Ninja -DSERIALHUB_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$triplet.cmake" >/dev/null
  cmake --build "$build" -j "${JOBS:-2}"
  echo "== $arch: built in $((SECONDS - start)) s"
fi
[ "$mode" != build ] || exit 0

# The tests that show the shared blocks, the tap ring, the status object and
# the frames: the tier kept when a full emulated run does not fit the budget.
subset='^(CrossProcess|Named(Block|Event|Objects)|Channel(Blocks|Names)|(Rows/)?FrameAssembler[A-Za-z]*'
subset+='|TapRing|SeqlockHammer|MonitorHub|SerialhubTest|ObjectFaults|SpoiledWriteBlock|Library)\.'
filter=()
[ "$mode" != subset ] || filter=(-R "$subset")

binfmt=/usr/lib/binfmt.d/qemu-$qemu.conf
echo "== $arch: ctest under qemu-$qemu"
start=$SECONDS
# The namespace maps the host's first 65536 ids as they are, so the tests that
# give a file to another user (nobody) still can; its binfmt_misc is its own.
fifo=$(mktemp -u)
mkfifo "$fifo"
trap 'rm -f "$fifo"' EXIT
unshare --user --mount --fork sh -euc 'read go < "$1"
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  cat "$2" > /proc/sys/fs/binfmt_misc/register
  shift 2
  exec ctest "$@"' sh "$fifo" "$binfmt" \
  --test-dir "$build" -j 2 --output-on-failure --timeout 300 "${filter[@]}" "$@" &
tests=$!
for _ in $(seq 500); do
  [ "$(readlink /proc/$tests/ns/user)" = "$(readlink /proc/self/ns/user)" ] || break
  sleep 0.01
done
echo "0 0 65536" > /proc/$tests/uid_map
echo "0 0 65536" > /proc/$tests/gid_map
echo go > "$fifo"
status=0
wait $tests || status=$?
echo "== $arch: tests ran in $((SECONDS - start)) s"
exit $status
