#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# Builds the Debian packages into build/deb/ and checks them with lintian;
#   scripts/package.sh --arch arm64|armhf
# cross-builds them for that architecture into build/deb-ARCH/.
# Installs what the build needs first (idempotent). The build runs on a copy
# of the tree in build/deb-src, so the tree itself stays clean. Prints
# lintian's findings; exits non-zero on a failed build or a lintian error.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=build/deb
src=build/deb-src/serialhub
cross=()
case "${1:-}" in
  "") ;;
  --arch)
    case "${2:-}" in
      arm64|armhf) ;;
      *) echo "usage: $0 [--arch arm64|armhf]" >&2; exit 2 ;;
    esac
    out=build/deb-$2
    cross=(-a "$2" -Pnocheck)
    scripts/deps.sh "$2"  # the cross compiler, the target's -dev packages and pkg-config
    ;;
  *) echo "usage: $0 [--arch arm64|armhf]" >&2; exit 2 ;;
esac

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
install_packages() {
  "${sudo_cmd[@]}" apt-get update -qq || echo "package.sh: apt-get update failed; installing from the lists there are" >&2
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

tools=(dpkg-dev debhelper lintian)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] || { echo "installing: ${missing[*]}"; install_packages "${missing[@]}"; }
if ! dpkg-checkbuilddeps "${cross[@]:0:2}" 2>/dev/null; then
  echo "installing the build dependencies of debian/control"
  "${sudo_cmd[@]}" apt-get update -qq || echo "package.sh: apt-get update failed; installing from the lists there are" >&2
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get build-dep -y -qq --no-install-recommends \
    "${cross[@]:0:2}" "$root" >/dev/null
fi

# The packages carry the project's version: the changelog must follow CMake.
cmake_version=$(sed -n 's/^project(serialhub VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb_version=$(dpkg-parsechangelog -S Version)
if [ "$cmake_version" != "$deb_version" ]; then
  echo "package.sh: debian/changelog is at $deb_version, CMakeLists.txt at $cmake_version" >&2
  exit 1
fi

rm -rf build/deb-src "$out"
mkdir -p "$src" "$out"
tar --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -xf - -C "$src"
# A cross build names the target's compilers, so that dpkg-architecture
# finds them to match the architecture asked for.
# The tests are not built in any case (debian/rules); nocheck says so.
cross_env=()
options="parallel=${JOBS:-2} ${DEB_BUILD_OPTIONS:-}"
[ ${#cross[@]} -eq 0 ] || {
  triplet=$(dpkg-architecture -a "${cross[1]}" -qDEB_HOST_GNU_TYPE 2>/dev/null)
  cross_env=(CC="$triplet-gcc" CXX="$triplet-g++")
  options+=" nocheck"
}
(cd "$src" && env "${cross_env[@]}" DEB_BUILD_OPTIONS="$options" \
   dpkg-buildpackage -b -us -uc "${cross[@]}" >../build.log 2>&1) || {
  tail -n 40 build/deb-src/build.log >&2
  echo "package.sh: dpkg-buildpackage failed; the whole log is build/deb-src/build.log" >&2
  exit 1
}
# The packages and the record of what built them; debug symbols apart, so
# that `apt install ./build/deb/*.deb` takes the packages alone. The .changes
# file, which only an upload to an archive reads, is left out.
mkdir -p "$out/dbgsym"
for file in build/deb-src/*.deb build/deb-src/*.buildinfo; do
  case $file in
    *-dbgsym_*) mv "$file" "$out/dbgsym"/ ;;
    *) mv "$file" "$out"/ ;;
  esac
done
rm -rf "$src"

echo "== packages in $out"
for deb in "$out"/*.deb; do
  printf '%-40s %8s bytes, installed %6s kB\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
    "$(dpkg-deb -f "$deb" Installed-Size)"
done
echo "== lintian"
lintian --display-info --fail-on error "$out"/*.deb
echo "package.sh: lintian reports no error"
