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

# The mirror and release the machine's own packages come from.
. /etc/os-release
release=${VERSION_CODENAME:?no release name in /etc/os-release}
mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' 2>/dev/null |
  awk -v release="$release" '$2 == release { print $1; exit }')
mirror=${mirror:-http://deb.debian.org/debian/}
echo "deb-src $mirror $release main" >"$work/sources.list"
apt=(apt-get -q -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" -o Debug::NoLocking=1)
# As root apt would hand the download to its own user, who cannot write here.
[ "$(id -u)" -ne 0 ] || apt+=(-o APT::Sandbox::User=root)
say "libjpeg-turbo's source from $mirror ($release)"
# A mirror caught in the middle of an update may lack a file for a while:
# three tries, a minute apart.
fetched=
for try in 1 2 3; do
  if "${apt[@]}" update >"$work/apt.log" 2>&1 &&
    (cd "$work" && "${apt[@]}" --download-only source libjpeg-turbo >>"$work/apt.log" 2>&1); then
    fetched=1
    break
  fi
  ((try == 3)) || sleep 60
done
[ -n "$fetched" ] || {
  cat "$work/apt.log" >&2
  say "libjpeg-turbo's source cannot be fetched from $mirror $release"
  exit 1
}
tar -xf "$(ls "$work"/libjpeg-turbo_*.orig.tar.* | head -n1)" -C "$work"
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
