#!/usr/bin/env bash
# Installs the program from the build folder, with cmake --install into a
# prefix and as the Debian package (cpack -G DEB) into a scratch root, and
# runs each installed program from an empty folder: it must load its own
# installed plug-in and capture a test-card frame. Removing the package
# must leave nothing behind, and lintian, where installed, must find no
# error and no warning in it.
#
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
source=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# run_installed PROGRAM PLUGIN_DIR: one capture from an empty folder.
run_installed() {
  local program=$1 plugin_dir=$2 run=$scratch/run
  rm -rf "$run" && mkdir "$run"
  local out status=0
  out=$(cd "$run" && printf '200\n\nq\n' |
    env -i PATH=/usr/bin:/bin LC_ALL=C.UTF-8 VIDMOTE_DEVICE=test-card LD_DEBUG=libs \
      "$program" 2>"$scratch/loader.log") || status=$?
  [ "$status" -eq 0 ] || fail "$program exited with $status"
  local loaded
  loaded=$(sed -n 's/.*calling init: \(.*libvidmote\.so\)$/\1/p' "$scratch/loader.log")
  [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$plugin_dir/libvidmote.so")" ] ||
    fail "$program loaded '$loaded', not $plugin_dir/libvidmote.so"
  [[ $out == *"DLL：Vidmote: Test card"* ]] || fail "$program printed: $out"
  [ "$(stat -c %s "$run/R00000.bmp")" -eq $((54 + 640 * 480 * 3)) ] || fail "no 640 x 480 R00000.bmp"
  [ -s "$run/R00000.html" ] && [ -s "$run/g.bmp" ] || fail "no page or gray preview"
  [ "$("$program" --version)" = "ConsoleExample $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
    fail "$program --version"
}

# ---- cmake --install
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/ConsoleExample bin/plugin-check bin/list-cameras include/lensora_plugin_api.h \
  include/kimage.h share/man/man1/ConsoleExample.1.gz share/man/man1/plugin-check.1.gz \
  share/man/man1/list-cameras.1.gz \
  share/doc/capture-console/copyright share/doc/capture-console/changelog.gz; do
  [ -f "$prefix/$file" ] || fail "cmake --install left out $file"
done
# The copyright file's licence, a paragraph indented by one space, is LICENSE's.
diff <(sed -n '/^Permission/,$p' "$source/LICENSE") \
  <(sed -n '/^License: Expat$/,$p' "$prefix/share/doc/capture-console/copyright" | sed '1d; s/^ //; s/^\.$//') ||
  fail "the copyright file does not hold the licence of LICENSE"
plugin_dir=$(dirname "$(find "$prefix" -name libvidmote.so)")
run_installed "$prefix/bin/ConsoleExample" "$plugin_dir"
[[ $("$prefix/bin/list-cameras" --help) == "Usage: list-cameras "* ]] ||
  fail "the installed list-cameras does not run"
"$prefix/bin/plugin-check" "$plugin_dir/libvidmote.so" >"$scratch/check.log" ||
  fail "the installed plugin-check fails the installed plug-in: $(cat "$scratch/check.log")"
echo "cmake --install: the installed program captured through $plugin_dir/libvidmote.so"

# ---- the Debian package, in a root of its own
(cd "$build" && cpack -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1) ||
  fail "cpack -G DEB failed: $(cat "$scratch/cpack.log")"
deb=$(ls "$scratch"/package/*.deb)
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
before=$(cd "$root" && find . | sort)
dpkg=(dpkg --root="$root" --force-not-root --force-depends --force-script-chrootless --log=/dev/null)
# The scratch root holds no other package: its dependencies are not there.
"${dpkg[@]}" -i "$deb" >"$scratch/dpkg.log" 2>&1 ||
  fail "dpkg -i $(basename "$deb") failed: $(cat "$scratch/dpkg.log")"
run_installed "$root/usr/bin/ConsoleExample" "$root/usr/lib/capture-console/plugins"
[[ $("$root/usr/bin/list-cameras" --version) == "list-cameras "* ]] ||
  fail "the packaged list-cameras does not run"
for page in ConsoleExample.1 plugin-check.1 list-cameras.1; do
  [ "$(zcat "$root/usr/share/man/man1/$page.gz" | head -c 3)" = .TH ] ||
    fail "the package has no manual page $page"
done
"${dpkg[@]}" --purge capture-console >"$scratch/dpkg.log" 2>&1 ||
  fail "dpkg --purge failed: $(cat "$scratch/dpkg.log")"
left=$(comm -13 <(echo "$before") <(cd "$root" && find . | sort) | grep -v '^\./var/lib/dpkg' || true)
[ -z "$left" ] || fail "removing the package left: $left"
echo "Debian package: $(basename "$deb") installed, captured, removed without a trace"

if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" >"$scratch/lintian.log" 2>&1 ||
    fail "lintian finds errors or warnings: $(grep -v '^running with root' "$scratch/lintian.log")"
  echo "lintian: no error, no warning"
else
  echo "lintian is not installed (tests/run.sh installs it): the package was not checked"
fi
