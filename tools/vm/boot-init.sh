#!/bin/busybox sh
# /init of the guest's small initramfs: loads the kernel's virtio, 9p,
# overlay, USB and HID modules, mounts the build machine's root file system
# (virtio-9p, read-only) under a tmpfs overlay, so that the guest runs the
# machine's own programs (Wine, Qt, the build tree) and may write anywhere
# without touching the machine, mounts the read-write results share, and
# hands over to tools/vm/guest-run.sh inside that root.
# The results share holds run.conf (written by tools/vm/run-guest.sh):
# KBT_TREE, the source tree's path, and the scenarios to run.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1

die() {
  echo "KBT-GUEST: boot failed: $*"
  dmesg | tail -30
  poweroff -f
}

# The order matters: busybox insmod resolves no dependencies. vhci-hcd is
# the USB/IP host controller (Debian's: 8 controllers, 15 USB 2.0 ports each,
# fixed when the kernel was built).
for m in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci \
  9pnet 9pnet_virtio netfs fscache 9p overlay usb-common usbcore hid uhid usbhid hid-generic \
  usbip-core vhci-hcd; do
  insmod /lib/modules/$m.ko || die "insmod $m"
done

opts=trans=virtio,version=9p2000.L,msize=512000
mkdir -p /host /results /ovl /newroot
mount -t 9p -o $opts,cache=loose,ro hostroot /host || die "mount hostroot"
mount -t 9p -o $opts results /results || die "mount results"
. /results/run.conf || die "no run.conf"
mount -t tmpfs -o mode=755 tmpfs /ovl
mkdir -p /ovl/upper /ovl/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/ovl/upper,workdir=/ovl/work /newroot ||
  die "mount overlay"
for d in proc sys dev results; do
  mkdir -p /newroot/$d
  mount --move /$d /newroot/$d
done
# The machine's own /tmp and /run (X server sockets, a udev control socket)
# would mislead programs in the guest, so each gets a fresh tmpfs. The source
# tree may live under one of them (a clone in /tmp): it is held aside by a
# bind mount first and put back at its own path on top.
mkdir -p /ovl/tree
mount --bind "/newroot$KBT_TREE" /ovl/tree || die "bind the tree $KBT_TREE"
mount -t tmpfs -o mode=1777 tmpfs /newroot/tmp
mount -t tmpfs -o mode=755 tmpfs /newroot/run
mkdir -p "/newroot$KBT_TREE"
mount --move /ovl/tree "/newroot$KBT_TREE" || die "put back the tree $KBT_TREE"
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /newroot/dev/pts
mount -t tmpfs -o mode=1777 tmpfs /newroot/dev/shm
exec chroot /newroot /bin/bash "$KBT_TREE/tools/vm/guest-run.sh"
