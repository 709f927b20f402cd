#!/bin/sh
# The Windows suite, run inside the test guest (see run-guest.sh) on a host
# whose kernel cannot execute 32-bit programs:
#
#   windows-tests.sh WINE_PREFIX_SCRIPT WINE_PREFIX HOST_TEST_EXE WINDOWS_TEST [FILTER]
#
# With a gtest FILTER only those cases of windows_test run (and not
# host_test.exe): the camera cases, on a host that runs the rest itself.
#
# The same steps as on a host that runs wine itself: the prefix is made and
# checked, host_test.exe runs under wine, then every case of windows_test.
# Making a prefix takes minutes under emulation, so a made one is packed into
# the guest cache, keyed by the wine version, and unpacked into the guest's
# tmpfs on later runs. Fails unless every step ran and every test passed.
set -u
prefix_script=$1 prefix=$2 host_test=$3 windows_test=$4 filter=${5:-*}
export HOME=/root WINEPREFIX=$prefix WINEDEBUG=-all XDG_RUNTIME_DIR=$prefix.runtime
# wine's own runtime folder, as wine_prefix.sh and windows_test give it.
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR" || exit 1

echo "guest: $(uname -r), $(grep -c ^processor /proc/cpuinfo) processors, $(wine --version)"
start=$(date +%s)
step() {
  echo "guest: $* ($(($(date +%s) - start)) s)"
}

version=$(dpkg-query -W -f '${Version}' wine32:i386 | tr -c 'A-Za-z0-9.+-' _)
packed=${GUEST_CACHE:-/nonexistent}/wine-prefix-$version.tar
# One wineserver, with wine's services, for the whole suite: started anew
# for every program they take about 30 s under emulation, kept about 5.
# The services start with the first program and inherit its output, so
# they are started with nothing that a reader waits on.
keep_wine_running() {
  wineserver -p
  wine cmd /c exit </dev/null >/dev/null 2>&1
}
if [ -f "$packed" ]; then
  step "unpacking the wine prefix $packed"
  rm -rf "$prefix" && mkdir -p "$prefix" && tar -xf "$packed" -C "$prefix" || exit 1
  keep_wine_running
  "$prefix_script" "$prefix" || exit 1
elif [ "$filter" != "*" ] && [ -f "$prefix/system.reg" ]; then
  # A host that runs wine itself made the prefix already (its writes land in
  # the guest's tmpfs).
  step "the host's wine prefix"
  keep_wine_running
  "$prefix_script" "$prefix" || exit 1
else
  step "no packed wine prefix for wine $version: making one"
  rm -rf "$prefix" && mkdir -p "$prefix" || exit 1
  "$prefix_script" "$prefix" || exit 1
  # The registry is written when the wineserver ends.
  wineserver -w
  tar -cf /run/share/cache/packing.tmp -C "$prefix" . &&
    mv /run/share/cache/packing.tmp "/run/share/cache/$(basename "$packed")"
  step "packed the prefix for later runs"
  keep_wine_running
fi

failed=0
# run NAME COMMAND...: its output in /run/share/NAME.out as it comes (the
# host sees it there), then in the log.
run() {
  name=$1
  shift
  step "$name"
  "$@" --gtest_color=no </dev/null >/run/share/$name.out 2>&1 || failed=1
  cat /run/share/$name.out
}
outputs=/run/share/windows_test.out
if [ "$filter" = "*" ]; then
  run host_test wine "$host_test"
  outputs="/run/share/host_test.out $outputs"
fi
run windows_test "$windows_test" --gtest_filter="$filter"
wineserver -k
step "done"

# Every case listed must have run and passed (none skipped).
for out in $outputs; do
  grep -q '^\[  PASSED  \] [1-9]' "$out" || failed=1
done
listed=$("$windows_test" --gtest_list_tests --gtest_filter="$filter" | grep -c '^  ')
grep -q "^\[  PASSED  \] $listed tests\?\.$" /run/share/windows_test.out || {
  echo "guest: not all $listed cases of windows_test passed"
  failed=1
}
exit $failed
