#!/usr/bin/env bash
# Builds everything and runs every test. Installs missing Debian packages
# when run as root; otherwise names them.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/share/i18n/locales/ja_JP ] || missing+=(locales)  # for the Shift_JIS console test
# Cameras: libv4l2 for the default plug-in; qemu and a static busybox for the
# guest that runs the camera tests against the kernel's vivid driver.
command -v pkg-config >/dev/null || missing+=(pkg-config)
[ -f /usr/include/libv4l2.h ] || missing+=(libv4l-dev)
command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
dpkg -s busybox-static >/dev/null 2>&1 || missing+=(busybox-static)
if ((${#missing[@]})); then
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null
  else
    echo "missing packages; install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DBUILD_TESTING=ON
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2 </dev/null
