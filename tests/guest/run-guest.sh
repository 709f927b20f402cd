#!/usr/bin/env bash
# Boots a qemu guest with Debian's stock kernel and the vivid virtual camera
# and runs one command in it, chrooted into this machine's root (read-only,
# with a tmpfs overlay), so the guest runs the very files built here. Its
# kernel also runs 32-bit x86 programs, which some hosts' kernels cannot.
#
#   run-guest.sh WORK_DIR COMMAND [ARG...]
#
# WORK_DIR/share is the guest's writable folder (/run/share inside). The
# command's output lands in WORK_DIR/share/guest.log; the script fails unless
# the guest booted, ran the command and the command exited 0.
#
# The cache (VIVID_CACHE_DIR, by default /var/cache/capture-console-vivid
# when writable, else WORK_DIR/cache) keeps the kernel package, downloaded
# once (about 70 MB), and whatever the command leaves in /run/share/cache.
# The command finds the cache, read-only, at $GUEST_CACHE.
#
# Every wait is bounded: the guest gets GUEST_SECONDS (default 300) for the
# command and a little more to boot and shut down. GUEST_MEMORY_MB (default
# 1024) sizes the guest and GUEST_TMPFS (default 512m) the tmpfs that holds
# everything written outside /run/share. GUEST_CAMERA=0 leaves vivid out.
# GUEST_USB=1 adds dummy_hcd, gadgetfs (on /dev/gadget) and uvcvideo for
# the emulated webcam, on one processor with a fully preemptible kernel: the
# webcam answers the host's control requests in time only so.
set -euo pipefail

if (($# < 2)); then
  echo "usage: $0 WORK_DIR COMMAND [ARG...]" >&2
  exit 2
fi
work=$(realpath -m "$1")
shift
here=$(cd "$(dirname "$0")" && pwd)
guest_seconds=${GUEST_SECONDS:-300}
guest_memory_mb=${GUEST_MEMORY_MB:-1024}
guest_tmpfs=${GUEST_TMPFS:-512m}
guest_camera=${GUEST_CAMERA:-1}
guest_usb=${GUEST_USB:-0}

fail() {
  echo "test guest: $*" >&2
  exit 1
}

for tool in qemu-system-x86_64 busybox dpkg-deb apt-get apt-cache gzip; do
  command -v "$tool" >/dev/null || fail "$tool is missing (tests/run.sh installs it)"
done
[ "$(busybox 2>/dev/null | head -c 7)" = BusyBox ] || fail "busybox does not run"
busybox_path=$(command -v busybox)
{ ldd "$busybox_path" 2>&1 || true; } | grep -q 'not a dynamic' ||
  fail "$busybox_path is not static: install busybox-static"

cache=${VIVID_CACHE_DIR:-}
if [ -z "$cache" ]; then
  cache=/var/cache/capture-console-vivid
  mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ] || cache=$work/cache
fi
mkdir -p "$cache" "$work"

# ---- The kernel: Debian's generic one (the cloud kernel lacks vivid and 9p).
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1
}

# The kernel of this machine's own release (Debian 12: 6.1, Debian 13: 6.12)
# when apt names it, else the newest one kept.
package=$(kernel_package)
if [ -n "$package" ]; then
  deb=$(ls "$cache/${package}"_*.deb 2>/dev/null | sort -V | tail -n 1 || true)
else
  deb=$(ls "$cache"/linux-image-[0-9]*-amd64_*.deb 2>/dev/null | sort -V | tail -n 1 || true)
fi
if [ -z "$deb" ]; then
  if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    package=$(kernel_package)
  fi
  [ -n "$package" ] || fail "cannot resolve linux-image-amd64 (run apt-get update)"
  echo "test guest: downloading $package into $cache"
  # As root, apt would hand the download to its own unprivileged user.
  sandbox=()
  [ "$(id -u)" -eq 0 ] && sandbox=(-o APT::Sandbox::User=root)
  if ! (cd "$cache" && apt-get download -q "${sandbox[@]}" "$package"); then
    # Old package lists may name a version the mirror no longer has.
    [ "$(id -u)" -eq 0 ] && apt-get update -qq && package=$(kernel_package) &&
      (cd "$cache" && apt-get download -q "${sandbox[@]}" "$package") || fail "cannot download $package"
  fi
  deb=$(ls "$cache/${package}"_*.deb | sort -V | tail -n 1)
fi

# Kernel and the modules the guest needs, unpacked once per package.
kernel_dir=$cache/$(basename "$deb" .deb)
modules="virtio_pci 9pnet_virtio 9p overlay vivid"
usb_modules="dummy_hcd gadgetfs uvcvideo"
modules="$modules $usb_modules"
if [ "$(cat "$kernel_dir/ready" 2>/dev/null)" != "$modules" ]; then
  echo "test guest: unpacking $(basename "$deb")"
  rm -rf "$kernel_dir" "$kernel_dir.tmp"
  dpkg-deb -x "$deb" "$kernel_dir.tmp"
  # Debian 12's package keeps the modules in lib/modules, Debian 13's in
  # usr/lib/modules; the guest loads them from lib/modules.
  if [ ! -d "$kernel_dir.tmp/lib/modules" ] && [ -d "$kernel_dir.tmp/usr/lib/modules" ]; then
    mkdir -p "$kernel_dir.tmp/lib"
    mv "$kernel_dir.tmp/usr/lib/modules" "$kernel_dir.tmp/lib/"
  fi
  version=$(ls "$kernel_dir.tmp/lib/modules") || fail "no modules in $(basename "$deb")"
  # Debian 13's are compressed with xz, which busybox's depmod and modprobe
  # may not read: unpacked all (once per package, a minute or two).
  find "$kernel_dir.tmp/lib/modules" -name '*.ko.xz' -exec busybox unxz {} +
  # The package ships no modules.dep.
  busybox depmod -b "$kernel_dir.tmp" "$version"
  moddir=lib/modules/$version
  mkdir -p "$kernel_dir/$moddir"
  cp "$kernel_dir.tmp"/boot/vmlinuz-* "$kernel_dir/vmlinuz"
  for module in $modules; do
    # Built into Debian 13's kernel: virtio_pci.
    ! grep -qE "/$module\.ko\$" "$kernel_dir.tmp/$moddir/modules.builtin" 2>/dev/null || continue
    # modules.dep lists every module a module needs, all the way down.
    line=$(grep -E "/$module\.ko:" "$kernel_dir.tmp/$moddir/modules.dep") ||
      fail "the kernel has no $module module"
    for file in ${line/:/}; do
      mkdir -p "$kernel_dir/$moddir/$(dirname "$file")"
      cp "$kernel_dir.tmp/$moddir/$file" "$kernel_dir/$moddir/$file"
    done
  done
  cp "$kernel_dir.tmp/$moddir"/modules.{dep,builtin} "$kernel_dir/$moddir/"
  rm -rf "$kernel_dir.tmp"
  echo "$modules" >"$kernel_dir/ready"
fi

# ---- The initramfs: static busybox, the modules and /init.
initramfs=$work/initramfs.cpio.gz
rm -rf "$work/initramfs"
mkdir -p "$work/initramfs"/{bin,proc,sys,dev,mnt}
cp "$busybox_path" "$work/initramfs/bin/busybox"
cp "$here/init" "$work/initramfs/init"
chmod 755 "$work/initramfs/init"
cp -r "$kernel_dir/lib" "$work/initramfs/"
(cd "$work/initramfs" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$initramfs"

# ---- The command, and the folder it reports through.
share=$work/share
rm -rf "$share"
mkdir -p "$share/cache"
printf 'GUEST_CACHE=%q exec ' "$cache" >"$share/command"
printf '%q ' "$@" >>"$share/command"
echo >>"$share/command"

# TCG everywhere: KVM only where the processor offers it.
accel=tcg
if grep -qwE 'vmx|svm' /proc/cpuinfo && [ -w /dev/kvm ]; then accel=kvm; fi

processors=2 usb_append=
if [ "$guest_usb" = 1 ]; then
  processors=1 usb_append=" guest_usb=1 preempt=full no_timer_check"
fi

echo "test guest: booting ($accel, $guest_memory_mb MiB)"
start=$(date +%s)
status=0
# Under TCG, SMAP makes every 32-bit program fault in the guest (the kernel
# logs a supervisor read at an iret), so the processor leaves it out.
timeout -s KILL $((guest_seconds + 120)) qemu-system-x86_64 \
  -accel "$accel" -cpu max,-smap -smp "$processors" -m "$guest_memory_mb" -nographic -no-reboot -nic none \
  -kernel "$kernel_dir/vmlinuz" -initrd "$initramfs" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3 guest_seconds=$guest_seconds guest_tmpfs=$guest_tmpfs guest_camera=$guest_camera$usb_append" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$share",mount_tag=share,security_model=none \
  </dev/null >"$work/console.log" 2>&1 || status=$?
echo "test guest: qemu ended after $(($(date +%s) - start)) s (status $status)"

[ -f "$share/guest.log" ] && cat "$share/guest.log"
# What the command made for later runs (complete files only: it writes them
# under a temporary name and renames them when done).
for kept in "$share"/cache/*; do
  [ -f "$kept" ] && mv -f "$kept" "$cache/"
done
if [ ! -f "$share/exit-status" ]; then
  echo "---- guest console ----"
  tail -n 60 "$work/console.log"
  fail "the guest did not boot or did not finish its command"
fi
exit_status=$(cat "$share/exit-status")
[ "$exit_status" = 0 ] || fail "the command failed in the guest (status $exit_status)"
