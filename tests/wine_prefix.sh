#!/usr/bin/env bash
# Makes the wine prefix that the Windows tests run in (the folder $1) and
# checks that wine runs a Windows console program there. Fails loudly when it
# cannot: the Windows tests must never pass without running.
set -uo pipefail
export WINEPREFIX=$1 WINEDEBUG=-all
# No downloads of wine's .NET and HTML engines, which console programs never use.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# The runtime folder wine expects, of the prefix's own and this user's only
# (without one it complains on standard error now and then).
export XDG_RUNTIME_DIR=$WINEPREFIX.runtime
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR" ||
  { echo "THE WINDOWS TESTS CANNOT RUN: cannot make $XDG_RUNTIME_DIR" >&2; exit 1; }

fail() {
  echo "THE WINDOWS TESTS CANNOT RUN: $*" >&2
  exit 1
}

command -v wine >/dev/null || fail "wine is not installed (Debian: wine, and wine32 from the i386 architecture)"
[ -x /usr/lib/wine/wine ] || fail "wine cannot run 32-bit programs (Debian: wine32 from the i386 architecture)"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  # The first start of wine sets the prefix up; it takes tens of seconds, and
  # minutes under emulation on a busy machine, where the program that asked
  # for it can give up waiting (wine waits five minutes: "boot event wait
  # timed out", then "could not load kernel32.dll", status 53) while the
  # set-up itself goes on. So that is let finish, and asked again.
  for try in 1 2; do
    timeout 600 wineboot -i </dev/null
    status=$?
    [ "$status" -eq 0 ] && break
    echo "wine_prefix: wineboot -i ended with status $status (try $try of 2); waiting for wine's set-up to finish" >&2
    timeout 900 wineserver -w
  done
  if [ "$status" -ne 0 ]; then
    wineserver -k 2>/dev/null
    rm -rf "$WINEPREFIX"
    fail "wineboot -i failed or did not finish within 600 s (status $status), twice"
  fi
fi

answer=$(timeout 120 wine cmd /c echo wine-ok </dev/null)
status=$?
[ "$status" -eq 0 ] && [[ $answer == wine-ok* ]] ||
  fail "wine did not run cmd.exe (status $status, answer '$answer')"
echo "wine runs Windows console programs in $WINEPREFIX"
