#!/usr/bin/env bash
# Builds everything and runs every test: the whole suite in the normal build,
# then again with AddressSanitizer and UndefinedBehaviorSanitizer. Installs
# missing Debian packages when run as root; otherwise names them.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/share/i18n/locales/ja_JP ] || missing+=(locales)  # for the Shift_JIS console test
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
  cmake -S . -B "$dir" -DBUILD_TESTING=ON "$@"
  cmake --build "$dir" -j2
  ctest --test-dir "$dir" --output-on-failure -j2 </dev/null
}

suite "$build-sanitize" -DSANITIZE=ON
suite "$build"
