#!/usr/bin/env bash
# Builds everything and runs every test: short runs of the fuzzers, the whole
# suite with AddressSanitizer and UndefinedBehaviorSanitizer, then the normal
# build with the 32-bit Windows build (mingw-w64) tested under wine.
# Installs missing Debian packages when run as root; otherwise names them.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v make >/dev/null || missing+=(make)
command -v gcc >/dev/null || missing+=(gcc)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
[ -f /usr/share/i18n/locales/ja_JP ] || missing+=(locales)  # for the Shift_JIS console test
# The Windows build: the compiler, and GoogleTest's sources to build for it.
command -v i686-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-i686-posix)
[ -f /usr/src/googletest/googletest/CMakeLists.txt ] || missing+=(googletest)
# Its tests: wine, with the loader of 32-bit programs from the i386 architecture.
command -v wine >/dev/null || missing+=(wine)
[ -x /usr/lib/wine/wine ] || missing+=(wine32:i386)
# wine's video capture filter reads cameras through the 32-bit libv4l2.
[ -f /usr/lib/i386-linux-gnu/libv4l2.so.0 ] || missing+=(libv4l-0:i386)
# Cameras: libv4l2 for the default plug-in; qemu and a static busybox for the
# guest that runs the camera tests against the kernel's vivid driver.
command -v pkg-config >/dev/null || missing+=(pkg-config)
[ -f /usr/include/libv4l2.h ] || missing+=(libv4l-dev)
[ -f /usr/include/jpeglib.h ] || missing+=(libjpeg-dev)  # MJPEG frames, decoded strictly
# PipeWire's cameras: its headers to build (the library is loaded at run
# time); in the guest, PipeWire and WirePlumber on a session bus before vivid.
[ -f /usr/include/pipewire-0.3/pipewire/pipewire.h ] || missing+=(libpipewire-0.3-dev)
command -v pipewire >/dev/null || missing+=(pipewire pipewire-bin)
command -v wireplumber >/dev/null || missing+=(wireplumber)
command -v dbus-daemon >/dev/null || missing+=(dbus)
command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
dpkg -s busybox-static >/dev/null 2>&1 || missing+=(busybox-static)
# The fuzzers: clang with libFuzzer.
command -v clang++ >/dev/null || missing+=(clang)
[ -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] ||
  missing+=(libclang-rt-dev)
# The Debian package: dpkg-shlibdeps works out its dependencies, and CPack
# reads the binaries with file.
command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
command -v file >/dev/null || missing+=(file)
command -v lintian >/dev/null || missing+=(lintian)  # Debian's own checker of the package
# The Windows installer: CPack makes it with NSIS.
command -v makensis >/dev/null || missing+=(nsis)
# Independent readers of the output files.
/usr/bin/python3 -c 'import PIL' 2>/dev/null || missing+=(python3-pil)
[ -x /usr/bin/chromium ] || missing+=(chromium)
if ((${#missing[@]})); then
  if [ "$(id -u)" -eq 0 ]; then
    tools/install_packages.sh "${missing[@]}"
  else
    echo "missing packages; install them with: sudo tools/install_packages.sh ${missing[*]}" >&2
    exit 1
  fi
fi

build=${BUILD_DIR:-build}
build=${build%/}

# suite <build folder> [cmake options...]
suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@"
  cmake --build "$dir" -j2
  ctest --test-dir "$dir" --output-on-failure -j2 </dev/null
}

# A plain build needs none of the test tools: with GoogleTest and Google
# Benchmark hidden it still builds the program and the plug-in, and says
# that the tests were left out.
plain_log=$(cmake -S . -B "$build-plain" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
grep -q 'GoogleTest not found.*the tests are left out' <<<"$plain_log" ||
  { echo "a build without GoogleTest does not say that the tests are left out" >&2; exit 1; }
cmake --build "$build-plain" -j2 --target ConsoleExample vidmote

CC=clang CXX=clang++ suite "$build-fuzz" -DBUILD_TESTING=OFF -DFUZZ=ON
suite "$build-sanitize" -DBUILD_TESTING=ON -DSANITIZE=ON
windows_build=$build/windows
cmake -S . -B "$windows_build" --toolchain cmake/mingw-i686.cmake -DBUILD_TESTING=ON
cmake --build "$windows_build" -j2
suite "$build" -DBUILD_TESTING=ON -DWINDOWS_BUILD_DIR="$(cd "$windows_build" && pwd)"
# The benchmark is not a test, but it must keep building and starting.
bench=$build/benchmarks/capture_bench
[ -x "$bench" ] || { echo "capture_bench was not built (is libbenchmark-dev installed?)" >&2; exit 1; }
cases=$("$bench" --benchmark_list_tests)
grep -q '^capture/3840x2160/w4000/null' <<<"$cases" ||
  { echo "capture_bench does not list its cases" >&2; exit 1; }
