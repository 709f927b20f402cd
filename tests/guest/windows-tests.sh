#!/bin/sh
# The Windows suite, run inside the test guest (see run-guest.sh) on a host
# whose kernel cannot execute 32-bit programs:
#
#   windows-tests.sh WINE_PREFIX_SCRIPT WINE_PREFIX HOST_TESTS_EXE WINDOWS_TESTS
#
# The same steps as on a host that runs wine itself: the prefix is made and
# checked, host_tests.exe runs under wine, then every case of windows_tests.
# Making a prefix takes minutes under emulation, so a made one is packed into
# the guest cache, keyed by the wine version, and unpacked into the guest's
# tmpfs on later runs. Fails unless every step ran and every test passed.
set -u
prefix_script=$1 prefix=$2 host_tests=$3 windows_tests=$4
export HOME=/root WINEPREFIX=$prefix WINEDEBUG=-all

echo "guest: $(uname -r), $(grep -c ^processor /proc/cpuinfo) processors, $(wine --version)"
start=$(date +%s)
step() {
  echo "guest: $* ($(($(date +%s) - start)) s)"
}

version=$(dpkg-query -W -f '${Version}' wine32:i386 | tr -c 'A-Za-z0-9.+-' _)
packed=${GUEST_CACHE:-/nonexistent}/wine-prefix-$version.tar
rm -rf "$prefix"
mkdir -p "$prefix"
if [ -f "$packed" ]; then
  step "unpacking the wine prefix $packed"
  tar -xf "$packed" -C "$prefix" || exit 1
else
  step "no packed wine prefix for wine $version: making one"
fi
"$prefix_script" "$prefix" || exit 1
# Until its wineserver has ended (it writes the registry then), the prefix
# is not complete, and another could not be started in its place.
wineserver -w
if [ ! -f "$packed" ]; then
  tar -cf /run/share/cache/packing.tmp -C "$prefix" . &&
    mv /run/share/cache/packing.tmp "/run/share/cache/$(basename "$packed")"
  step "packed the prefix for later runs"
fi

# One wineserver, with wine's services, for the whole suite: started anew
# for every program they take about 30 s under emulation, kept about 5.
wineserver -p
failed=0
# run NAME COMMAND...: its output shown as it comes and kept in /tmp/NAME.out.
run() {
  name=$1
  shift
  step "$name"
  { "$@" --gtest_color=no 2>&1 || echo "$name failed" >/tmp/$name.failed; } | tee /tmp/$name.out
  [ ! -f /tmp/$name.failed ] || failed=1
}
run host_tests wine "$host_tests"
run windows_tests "$windows_tests"
wineserver -k
step "done"

# Every case listed must have run and passed.
for out in /tmp/host_tests.out /tmp/windows_tests.out; do
  grep -q '^\[  PASSED  \] [1-9]' "$out" || failed=1
done
listed=$("$windows_tests" --gtest_list_tests | grep -c '^  ')
grep -q "^\[  PASSED  \] $listed tests\?\.$" /tmp/windows_tests.out || {
  echo "guest: not all $listed cases of windows_tests passed"
  failed=1
}
exit $failed
