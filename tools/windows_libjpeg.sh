#!/usr/bin/env bash
# windows_libjpeg.sh PREFIX: builds libjpeg (Debian's libjpeg-turbo, from its
# source package) as a static library for the 32-bit Windows build, into
# PREFIX/include and PREFIX/lib. The DirectShow camera decodes MJPEG with it
# as the V4L2 camera does on Linux. Debian has no libjpeg for mingw-w64.
#
# The source comes through apt from the machine's own Debian mirror, checked
# against the release's signed index; apt's state for it is kept under
# PREFIX, so the machine's package lists are not touched and root is not
# needed. Does nothing when PREFIX holds the library already.
set -euo pipefail
say() { echo "windows_libjpeg: $*" >&2; }
(($# == 1)) || {
  echo "usage: $0 PREFIX" >&2
  exit 2
}
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
[ -f "$prefix/lib/libjpeg.a" ] && [ -f "$prefix/include/jpeglib.h" ] && [ -f "$prefix/LICENSE.txt" ] && exit 0
here=$(cd "$(dirname "$0")/.." && pwd)
work=$prefix/source
rm -rf "$work" && mkdir -p "$work/lists/partial" "$work/cache/archives/partial"

# The mirror and release the machine's own packages come from; the other
# stable release's source (the same libjpeg-turbo) where that one's fails.
. /etc/os-release
release=${VERSION_CODENAME:?no release name in /etc/os-release}
mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' 2>/dev/null |
  awk -v release="$release" '$2 == release { print $1; exit }')
mirror=${mirror:-http://deb.debian.org/debian/}
apt_options=(-q -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" -o Debug::NoLocking=1)
# As root apt would hand the download to its own user, who cannot write here.
[ "$(id -u)" -ne 0 ] || apt_options+=(-o APT::Sandbox::User=root)

# fetch RELEASE: the upstream tarball into $work, checked against the hash
# the release's signed source index gives. Only that file is needed: a
# mirror out of step may lack the rest of the source package (its .dsc,
# seen missing) while apt fetches and checks the tarball all the same.
fetch() {
  echo "deb-src $mirror $1 main" >"$work/sources.list"
  rm -f "$work"/libjpeg-turbo_*
  apt-get "${apt_options[@]}" update >"$work/apt.log" 2>&1 || return 1
  (cd "$work" && apt-get "${apt_options[@]}" --download-only source libjpeg-turbo) >>"$work/apt.log" 2>&1
  local name sum size
  read -r sum size name < <(apt-cache "${apt_options[@]}" showsrc libjpeg-turbo 2>/dev/null |
    sed -n '/^Checksums-Sha256:/,/^[^ ]/s/^ \([0-9a-f]\{64\}\) \([0-9]*\) \(libjpeg-turbo_.*\.orig\.tar\..*\)$/\1 \2 \3/p' |
    head -n1) || return 1
  tarball=$work/$name
  [ -n "$name" ] && [ -f "$tarball" ] && [ "$(stat -c %s "$tarball")" = "$size" ] &&
    [ "$(sha256sum <"$tarball" | cut -d' ' -f1)" = "$sum" ]
}
tarball=
for from in "$release" "$release" bookworm trixie; do
  say "libjpeg-turbo's source from $mirror ($from)"
  fetch "$from" && break
  tarball=
  sleep 20  # a mirror in the middle of an update
done
[ -n "$tarball" ] || {
  cat "$work/apt.log" >&2
  say "libjpeg-turbo's source cannot be fetched from $mirror"
  exit 1
}
tar -xf "$tarball" -C "$work"
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libjpeg-turbo-*' | head -n1)
[ -n "$source_dir" ] || {
  say "no source folder in libjpeg-turbo's source package"
  exit 1
}

# Plain C: without nasm's SIMD code, which a still frame does not need.
cmake -S "$source_dir" -B "$work/build" --toolchain "$here/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_SHARED=OFF \
  -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF >"$work/build.log" 2>&1 &&
  cmake --build "$work/build" -j2 --target jpeg-static >>"$work/build.log" 2>&1 || {
  cat "$work/build.log" >&2
  say "libjpeg-turbo does not build for Windows"
  exit 1
}
mkdir -p "$prefix/include" "$prefix/lib"
cp "$work/build/libjpeg.a" "$prefix/lib/"
# Later releases keep the library's sources in src/.
headers=$(dirname "$(find "$source_dir" -name jpeglib.h | head -n1)")
cp "$headers"/{jpeglib.h,jmorecfg.h,jerror.h} "$work/build/jconfig.h" "$prefix/include/"
# Its licences, which go with every copy of the plug-in.
cat "$source_dir/LICENSE.md" "$source_dir/README.ijg" >"$prefix/LICENSE.txt"
rm -rf "$work"
say "built $prefix/lib/libjpeg.a"
