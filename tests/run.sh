#!/usr/bin/env bash
# Builds everything and runs every test: short runs of the fuzzers, then the
# whole suite with AddressSanitizer and UndefinedBehaviorSanitizer, then in
# the normal build. Installs missing Debian packages when run as root;
# otherwise names them.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/share/i18n/locales/ja_JP ] || missing+=(locales)  # for the Shift_JIS console test
# The fuzzers: clang with libFuzzer.
command -v clang++ >/dev/null || missing+=(clang)
[ -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ] ||
  missing+=(libclang-rt-dev)
# Independent readers of the output files.
/usr/bin/python3 -c 'import PIL' 2>/dev/null || missing+=(python3-pil)
[ -x /usr/bin/chromium ] || missing+=(chromium)
if ((${#missing[@]})); then
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing packages; install them with: sudo apt-get install ${missing[*]}" >&2
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

CC=clang CXX=clang++ suite "$build-fuzz" -DBUILD_TESTING=OFF -DFUZZ=ON
suite "$build-sanitize" -DBUILD_TESTING=ON -DSANITIZE=ON
suite "$build" -DBUILD_TESTING=ON
