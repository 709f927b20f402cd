#!/usr/bin/env bash
# fresh_machine.sh [--tests-first] RELEASE [ROOT]: the README's two commands
# (the quick start, then the test command; with --tests-first the other way
# round) on a freshly bootstrapped Debian RELEASE (bookworm or 12, trixie or
# 13), as a new user meets them: a minimal system with the usual RELEASE,
# RELEASE-updates and RELEASE-security sources, the checkout copied to a folder of /root (mode 700) whose name has
# a space, no terminal and no standard input. Not run by CI: it needs root,
# debootstrap and the package mirrors, and takes half an hour or more.
#
# ROOT (default /var/tmp/fresh-machine-RELEASE) is made anew; the system there gets
# a /dev of its own (device nodes and a new devpts instance), never the
# host's. Its log is ROOT.log.
set -euo pipefail

usage() {
  echo "usage: $0 [--tests-first] bookworm|trixie|12|13 [ROOT]" >&2
  exit 2
}
order=quick-start-first
if [ "${1:-}" = --tests-first ]; then
  order=tests-first
  shift
fi
case ${1:-} in
  bookworm | 12) release=bookworm version=12 ;;
  trixie | 13) release=trixie version=13 ;;
  *) usage ;;
esac
shift
root=$(realpath -m "${1:-/var/tmp/fresh-machine-$release}")
src=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "fresh_machine.sh: run it as root" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "fresh_machine.sh: install debootstrap" >&2; exit 2; }
if [ -e "$root" ]; then
  [ -e "$root/.fresh-machine" ] || { echo "fresh_machine.sh: $root exists and is not ours" >&2; exit 2; }
  rm -rf --one-file-system "$root"
fi
log=$root.log
: >"$log"
say() { echo "fresh_machine: $(date +%T) $*" | tee -a "$log"; }

say "bootstrapping Debian $version ($release) into $root"
debootstrap --variant=minbase "$release" "$root" >>"$log" 2>&1
touch "$root/.fresh-machine"
# The mirror debootstrap chose (in sources.list, or in the deb822 form that
# newer versions write), with the updates and the security suites.
mirror=$(cat "$root/etc/apt/sources.list" "$root"/etc/apt/sources.list.d/*.sources 2>/dev/null |
  awk '$1 == "deb" || $1 == "URIs:" { print $2; exit }' || true)
mirror=${mirror:-http://deb.debian.org/debian}
rm -f "$root"/etc/apt/sources.list.d/*.sources
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $release main
deb $mirror $release-updates main
deb ${mirror%/debian}/debian-security $release-security main
EOF

checkout="/root/src/capture console"
mkdir -p "$root$checkout"
git -C "$src" ls-files -z --cached --others --exclude-standard |
  tar -C "$src" --null -T - --ignore-failed-read -cf - | tar -xf - -C "$root$checkout"
chmod 700 "$root/root"

# The README's two commands, as it gives them, each in a file. The quick
# start ends in the console, which gets a width, one capture and Q.
awk '/^## Quick start/ { on = 1 } on && /^```sh$/ { getline; print }' "$src/README.md" |
  head -n 2 >"$root/root/commands"
[ "$(wc -l <"$root/root/commands")" -eq 2 ] ||
  { echo "fresh_machine.sh: the README's two commands not found" >&2; exit 1; }
sed -n 1p "$root/root/commands" >"$root/root/quick-start"
sed -n 2p "$root/root/commands" >"$root/root/test-command"
steps="quick-start test-command"
[ "$order" = quick-start-first ] || steps="test-command quick-start"
script='set -e
cd "'$checkout'"
for step in '$steps'; do
  echo "fresh_machine: $(date +%T) $step: $(cat /root/$step)"
  if [ $step = quick-start ]; then
    printf "200\n\nq\n" | bash /root/quick-start
    test -s out/R00000.bmp
  else
    bash /root/test-command </dev/null
  fi
done
echo "fresh_machine: $(date +%T) both commands passed"'

# A mount namespace of its own: every mount below ends with it.
set +e
unshare --mount --propagation private --fork bash -euc '
  root=$1 script=$2
  mount -t proc proc "$root/proc"
  mount -t sysfs sys "$root/sys"
  mount -t tmpfs -o mode=755,nosuid dev "$root/dev"
  for node in "null 1 3" "zero 1 5" "full 1 7" "random 1 8" "urandom 1 9" "tty 5 0"; do
    set -- $node
    mknod -m 666 "$root/dev/$1" c "$2" "$3"
  done
  mkdir "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
  ln -s /proc/self/fd "$root/dev/fd"
  for n in 0 1 2; do ln -s "/proc/self/fd/$n" "$root/dev/$(echo stdin stdout stderr | cut -d" " -f$((n + 1)))"; done
  setsid chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin CI=true \
    bash -c "$script" </dev/null
' fresh "$root" "$script" 2>&1 | tee -a "$log"
status=${PIPESTATUS[0]}
set -e
say "ended with status $status (log: $log)"
exit "$status"
