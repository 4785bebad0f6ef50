# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash disable=SC2034,SC2154  # it sets base, root and root_state; the sourcing script sets tool
# Sourced by the scripts that test inside a minimal Debian root
# (system-test.sh, nox-check.sh). The sourcing script sets `tool`, its name in
# messages, before sourcing; it gets:
#   say, die                      one line on stdout; a failure on stderr, exit 1
#   private_mounts "$@"           as root, runs the script again in a mount
#                                 namespace of its own: its mounts go with it
#   cached_root CACHE SUITE MIRROR INCLUDE [KEY...]
#                                 debootstraps (minbase plus INCLUDE) once per
#                                 suite, mirror, list and KEYs, under a lock;
#                                 sets `base` and `root_state` (built|cached)
#   overlay_root BASE WORK        mounts a writable overlay of BASE on WORK/root,
#                                 its changes in WORK; sets `root`

say() { echo "$tool: $*"; }
die() { echo "$tool: FAILED: $*" >&2; exit 1; }

private_mounts() {
  [ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, mounts)"
  [ -z "${SERIALHUB_PRIVATE_MOUNTS:-}" ] || return 0
  SERIALHUB_PRIVATE_MOUNTS=1 exec unshare --mount --propagation private "$0" "$@" ||
    die "cannot make a mount namespace (unshare --mount)"
}

cached_root() {
  local cache=$1 suite=$2 mirror=$3 include=$4 key
  shift 4
  command -v debootstrap >/dev/null || die "debootstrap is missing (apt-get install debootstrap)"
  key=$(printf '%s\n' "$suite" "$mirror" "$include" "$@" | sha256sum | cut -c1-16)
  base=$cache/root-$key
  mkdir -p "$cache"
  exec 9>"$cache/lock"
  flock 9  # one run makes the root while another waits for it
  root_state=cached
  if [ ! -d "$base" ]; then
    say "making a $suite root (cached as $base)"
    rm -rf "$base.new"
    debootstrap --variant=minbase --include="$include" "$suite" "$base.new" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
      { tail -20 "$cache/debootstrap.log" >&2; die "debootstrap failed (log: $cache/debootstrap.log)"; }
    mv "$base.new" "$base"
    root_state=built
  fi
  flock -u 9
  exec 9>&-
}

overlay_root() {
  local lower=$1 work=$2
  grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null || die "the kernel has no overlay file system"
  rm -rf "$work/upper" "$work/overlay" "$work/root"
  mkdir -p "$work/upper" "$work/overlay" "$work/root"
  root=$work/root
  mount -t overlay overlay -o "lowerdir=$lower,upperdir=$work/upper,workdir=$work/overlay" "$root" ||
    die "cannot mount an overlay over $lower"
}
