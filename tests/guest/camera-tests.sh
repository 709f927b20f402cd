#!/bin/sh
# The camera tests, run inside the test guest (see run-guest.sh) against
# vivid's /dev/video0, or the emulated webcam the suite starts itself
# (/dev/gadget):  camera-tests.sh TEST_BINARY
# Fails unless the suite ran and every test in it passed.
set -u
tests=$1

if [ ! -c /dev/video0 ] && [ ! -e /dev/gadget/dummy_udc ]; then
  echo "guest: no /dev/video0: vivid did not load"
  exit 1
fi
echo "guest: $(uname -r), $(grep -c ^processor /proc/cpuinfo) processors"
start=$(date +%s)
"$tests" --gtest_color=no >/tmp/vivid_test.out 2>&1
status=$?
cat /tmp/vivid_test.out
echo "guest: camera tests took $(($(date +%s) - start)) s"
if ! grep -q '^\[  PASSED  \] [1-9]' /tmp/vivid_test.out; then
  echo "guest: the camera tests did not all run and pass"
  exit 1
fi
exit $status
