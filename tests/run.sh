#!/usr/bin/env bash
# Builds everything and runs every test. Installs missing Debian packages
# when run as root; otherwise names them.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
[ -f /usr/share/i18n/locales/ja_JP ] || missing+=(locales)  # for the Shift_JIS console test
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
cmake -S . -B "$build" -DBUILD_TESTING=ON
cmake --build "$build" -j2
# The benchmark is not a test, but it must keep building and starting.
bench=$build/benchmarks/capture_bench
[ -x "$bench" ] || { echo "capture_bench was not built (is libbenchmark-dev installed?)" >&2; exit 1; }
cases=$("$bench" --benchmark_list_tests)
grep -q '^capture/3840x2160/w4000/null' <<<"$cases" ||
  { echo "capture_bench does not list its cases" >&2; exit 1; }
ctest --test-dir "$build" --output-on-failure -j2 </dev/null
