#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# run-in-guest.sh [--tmpfs DIR]... [--cpus N] [--timeout SECONDS] -- COMMAND [ARGS...]
# run-in-guest.sh --prepare
#
# Runs one command inside a QEMU full-system x86-64 guest (TCG) and exits
# with its exit status. It is how the 32-bit Windows tests run where this
# machine's kernel cannot run 32-bit x86 programs (32-bit Wine needs a kernel
# that does): the guest runs Debian's own amd64 kernel, which does.
#
# The guest sees this machine's root file system read-only over 9p, under a
# writable overlay that lives in the guest's memory and is gone when it stops,
# with this repository's checkout shared writable at the same path as here,
# and fresh /proc, /sys, /dev, /dev/pts, /dev/shm and /tmp. The command runs
# there as root, in a chroot, in the current directory, with this
# environment (less the desktop's), standard input empty; its output shows
# here. Only what it writes into the checkout outlives the guest. Each
# --tmpfs DIR mounts an empty memory-backed folder at DIR in the guest, for
# things that must be fast and need not outlive it (a Wine prefix: making one
# on the 9p share takes minutes). The guest has as many processors as this
# machine, or --cpus N: one, for a command that runs one program at a time
# beside other work here (a guest processor left waiting for a core here
# keeps its others spinning on the guest kernel's locks).
#
# The kernel (linux-image-amd64's) and busybox-static are fetched with
# apt-get download and unpacked, never installed on this machine; they and the
# guest's initramfs are kept in build-guest/ (HUSHLINK_GUEST_CACHE to move
# it), so later runs fetch nothing. --prepare only fetches and builds them,
# and exits 0 when a guest can be started here. The guest has
# HUSHLINK_GUEST_TIMEOUT seconds (default 1800) or --timeout's; a guest that
# stops without having recorded the command's status (timed out, killed,
# crashed) is a failure, exit status 125, as is any failure to start it.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${HUSHLINK_GUEST_CACHE:-$root/build-guest}
timeout=${HUSHLINK_GUEST_TIMEOUT:-1800}
cpus=$(nproc)
tmpfs_dirs=()
prepare_only=false

fail() {
  echo "run-in-guest: $*" >&2
  exit 125
}

while (($# > 0)); do
  case $1 in
    --prepare) prepare_only=true; shift ;;
    --tmpfs) (($# >= 2)) || fail "--tmpfs needs a folder"; tmpfs_dirs+=("$(realpath -m -- "$2")"); shift 2 ;;
    --cpus) (($# >= 2)) || fail "--cpus needs a number"; cpus=$2; shift 2 ;;
    --timeout) (($# >= 2)) || fail "--timeout needs seconds"; timeout=$2; shift 2 ;;
    --) shift; break ;;
    *) fail "unknown option $1 (usage: run-in-guest.sh [--tmpfs DIR]... [--cpus N] [--timeout SECONDS] -- COMMAND...)" ;;
  esac
done
$prepare_only || (($# > 0)) || fail "no command given (usage: run-in-guest.sh ... -- COMMAND...)"
[[ $timeout =~ ^[1-9][0-9]*$ ]] || fail "the time limit must be a whole number of seconds, not '$timeout'"
[[ $cpus =~ ^[1-9][0-9]*$ ]] || fail "the number of processors must be a whole number, not '$cpus'"

qemu=$(command -v qemu-system-x86_64) ||
  fail "qemu-system-x86_64 is missing (Debian qemu-system-x86; scripts/setup.sh installs it)"

# The modules the guest needs for its 9p shares and the overlay, in the
# order they load (each after those it depends on).
modules=(
  drivers/virtio/virtio_ring drivers/virtio/virtio
  drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci_legacy_dev
  drivers/virtio/virtio_pci
  net/9p/9pnet net/9p/9pnet_virtio fs/netfs/netfs fs/fscache/fscache fs/9p/9p
  fs/overlayfs/overlay
)

# The guest's first process, busybox sh. The host's control folder (the
# command as a bash script, run.sh, and its settings) is its 9p share
# "control"; it writes the command's exit status there, then powers off.
read -r -d '' init <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
stop() {
  echo "run-in-guest: in the guest: $*" >&2
  poweroff -f
}
for module in $(cat /modules); do
  insmod "/lib/modules/$module.ko" || stop "cannot load $module"
done
p9="trans=virtio,version=9p2000.L,msize=512000"
mkdir -p /control /lower /rw /newroot
mount -t 9p -o "$p9" control /control || stop "cannot mount the control folder"
mount -t 9p -o "$p9,ro,cache=loose" root /lower || stop "cannot mount the root file system"
mount -t tmpfs -o mode=0755 tmpfs /rw
mkdir /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work overlay /newroot ||
  stop "cannot mount the overlay"
mount -t proc proc /newroot/proc
mount -t sysfs sysfs /newroot/sys
mount -t devtmpfs devtmpfs /newroot/dev
ln -s /proc/self/fd /newroot/dev/fd
ln -s /proc/self/fd/0 /newroot/dev/stdin
ln -s /proc/self/fd/1 /newroot/dev/stdout
ln -s /proc/self/fd/2 /newroot/dev/stderr
mkdir -p /newroot/dev/pts /newroot/dev/shm /newroot/run/hushlink-guest
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /newroot/dev/pts
mount -t tmpfs -o mode=1777 tmpfs /newroot/dev/shm
mount -t tmpfs -o mode=1777 tmpfs /newroot/tmp
# The checkout last but for the tmpfs folders inside it: it may lie in a
# folder the guest has just made afresh (a clone under /tmp).
share=$(cat /control/share)
mkdir -p "/newroot$share"
# Cached: without it, 32-bit Wine's programs and DLLs loaded from the share
# start with parts of their code missing (a page fault at once). Nothing on
# this machine changes the files the guest reads while it runs, and what the
# guest writes is synced before it stops.
mount -t 9p -o "$p9,cache=loose" share "/newroot$share" || stop "cannot mount $share"
while read -r dir; do
  [ -n "$dir" ] || continue
  mkdir -p "/newroot$dir" && mount -t tmpfs -o mode=0755 tmpfs "/newroot$dir" ||
    stop "cannot mount a tmpfs at $dir"
done </control/tmpfs
mount --bind /control /newroot/run/hushlink-guest
stty -onlcr 2>/dev/null
chroot /newroot /bin/bash /run/hushlink-guest/run.sh </dev/null
echo $? >/control/status.new && mv /control/status.new /control/status
sync
umount /newroot/run/hushlink-guest "/newroot$share" /control 2>/dev/null
poweroff -f
EOF

# prepare: fetches the kernel and busybox and builds the initramfs, unless
# build-guest/ has them already.
prepare() {
  local work kernel_package deb modules_dir module
  mkdir -p "$cache" || fail "cannot make $cache"
  exec 8>"$cache/.lock"
  flock 8
  if [[ ! -e $cache/vmlinuz || ! -e $cache/busybox || ! -d $cache/modules ]]; then
    command -v apt-get >/dev/null || fail "apt-get is missing: cannot fetch the guest's kernel"
    work=$(mktemp -d /tmp/hushlink-guest-fetch-XXXXXX)
    chmod 755 "$work"  # apt-get download writes as its own user where it can
    kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
      awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
    if [[ -z $kernel_package ]] && [[ $(id -u) == 0 ]]; then
      apt-get update -qq >&2
      kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
    fi
    [[ -n $kernel_package ]] ||
      { rm -rf "$work"; fail "apt knows no linux-image-amd64 (run apt-get update)"; }
    echo "run-in-guest: fetching $kernel_package and busybox-static into $cache" >&2
    if ! (cd "$work" && apt-get download "$kernel_package" busybox-static) >"$work/log" 2>&1; then
      cat "$work/log" >&2
      rm -rf "$work"
      fail "cannot download $kernel_package and busybox-static"
    fi
    for deb in "$work"/*.deb; do
      dpkg-deb -x "$deb" "$work/tree" || { rm -rf "$work"; fail "cannot unpack $deb"; }
    done
    modules_dir=$(echo "$work"/tree/lib/modules/*/kernel)
    rm -rf "$cache/modules" "$cache/initramfs.cpio.gz"
    mkdir -p "$cache/modules"
    for module in "${modules[@]}"; do
      mkdir -p "$cache/modules/$(dirname "$module")"
      cp "$modules_dir/$module.ko" "$cache/modules/$module.ko" ||
        { rm -rf "$work"; fail "$kernel_package has no $module.ko"; }
    done
    cp "$work"/tree/bin/busybox "$cache/busybox" &&
      cp "$work"/tree/boot/vmlinuz-* "$cache/vmlinuz" ||
      { rm -rf "$work"; fail "cannot copy the kernel and busybox out of the packages"; }
    echo "$kernel_package" >"$cache/kernel-package"
    rm -rf "$work"
  fi
  # The initramfs is built again whenever its first process changes.
  if [[ ! -e $cache/initramfs.cpio.gz ]] || ! cmp -s "$cache/init" <(printf '%s\n' "$init"); then
    work=$(mktemp -d /tmp/hushlink-guest-initramfs-XXXXXX)
    mkdir -p "$work"/{bin,dev,proc,sys,lib}
    cp "$cache/busybox" "$work/bin/busybox"
    cp -R "$cache/modules" "$work/lib/modules"
    printf '%s\n' "${modules[@]}" >"$work/modules"
    printf '%s\n' "$init" >"$work/init"
    chmod 755 "$work/init"
    # busybox's own cpio: the names are plain, one a line.
    if ! (cd "$work" && find . | LC_ALL=C sort | "$cache/busybox" cpio -o -H newc -R 0:0 |
          gzip -1) >"$cache/initramfs.cpio.gz.new" 2>"$work.log"; then
      cat "$work.log" >&2
      rm -rf "$work" "$work.log" "$cache/initramfs.cpio.gz.new"
      fail "cannot build the initramfs"
    fi
    rm -f "$work.log"
    mv "$cache/initramfs.cpio.gz.new" "$cache/initramfs.cpio.gz"
    printf '%s\n' "$init" >"$cache/init"
    rm -rf "$work"
  fi
  exec 8>&-
}

prepare
$prepare_only && exit 0

control=$(mktemp -d /tmp/hushlink-guest-XXXXXX)
trap 'rm -rf "$control"' EXIT
printf '%s\n' "$root" >"$control/share"
printf '%s\n' "${tmpfs_dirs[@]}" >"$control/tmpfs"
{
  echo "# The command, as run-in-guest.sh was given it."
  printf 'cd -- %q || exit 125\n' "$PWD"
  for name in $(compgen -e); do
    case $name in
      DISPLAY | WAYLAND_DISPLAY | XAUTHORITY | DBUS_SESSION_BUS_ADDRESS | XDG_RUNTIME_DIR | \
        SSH_AUTH_SOCK | SSH_AGENT_PID | SHLVL | PWD | OLDPWD | _) continue ;;
    esac
    printf 'export %s=%q\n' "$name" "${!name}"
  done
  echo '[[ -z ${TMPDIR:-} ]] || mkdir -p "$TMPDIR"'
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} >"$control/run.sh"

# Multi-threaded TCG, a thread here for each guest processor; SMAP off, or
# 32-bit user code's iret faults under QEMU 7.2's emulation. No disk, no
# network, no display: the serial console is this script's output, and the
# guest powers itself off.
"$qemu" -version >/dev/null 2>&1 || fail "$qemu does not start"
timeout --foreground --kill-after=10 "$timeout" "$qemu" \
  -nodefaults -no-user-config -nographic -no-reboot \
  -bios qboot.rom -machine pc -accel tcg,thread=multi -cpu max,smap=off \
  -smp "$cpus" -m 4G \
  -kernel "$cache/vmlinuz" -initrd "$cache/initramfs.cpio.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1" \
  -chardev stdio,id=console,signal=on -serial chardev:console \
  -virtfs "local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$root,mount_tag=share,security_model=none,multidevs=remap" \
  -virtfs "local,path=$control,mount_tag=control,security_model=none" \
  </dev/null
qemu_status=$?
if [[ ! -e $control/status ]]; then
  if ((qemu_status == 124 || qemu_status == 137)); then
    fail "the guest did not finish within $timeout seconds and was stopped; the command's status is unknown"
  fi
  fail "the guest stopped (QEMU exit status $qemu_status) without recording the command's exit status"
fi
exit "$(<"$control/status")"
