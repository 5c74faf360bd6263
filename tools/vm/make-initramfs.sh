#!/usr/bin/env bash
# Packs the real-kernel test's initramfs (cpio newc, gzip):
#   make-initramfs.sh OUT.cpio.gz KERNEL_DIR GUEST_BUILD_DIR FIRMWARE.hex
# KERNEL_DIR holds hid.ko, uhid.ko and hid-generic.ko (uncompressed);
# GUEST_BUILD_DIR the built kbsim-uhid, hidraw-guest-check and kbupdate.
# Dynamically linked programs get their ldd closure and the loader copied
# to the same paths in the image.
set -euo pipefail
out=$1 kdir=$2 build=$3 hex=$4
here=$(cd "$(dirname "$0")" && pwd)
busybox=/bin/busybox  # busybox-static's: the guest has no libraries for another one
if ! [ -x "$busybox" ] || ldd "$busybox" >/dev/null 2>&1; then
  echo "make-initramfs: needs busybox-static (a statically linked /bin/busybox)" >&2
  exit 1
fi

stage=$(mktemp -d)
chmod 755 "$stage"  # the guest's /: a plain user must get through it too
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage"/{bin,dev,proc,sys,tmp,work,lib/modules}
cp "$busybox" "$stage/bin/busybox"
cp "$here/guest-init.sh" "$stage/init"
chmod 755 "$stage/init"
for m in hid uhid hid-generic; do cp "$kdir/$m.ko" "$stage/lib/modules/"; done

add_program() {  # add_program PATH: the program and what it loads
  cp "$1" "$stage/bin/"
  { ldd "$1" 2>/dev/null || true; } | awk '/=> \// {print $3} /^[ \t]*\/[^ ]+ \(/ {print $1}' |
    while read -r lib; do
      mkdir -p "$stage$(dirname "$lib")"
      cp -L "$lib" "$stage$lib"
    done
}
add_program "$build/sim/uhid/kbsim-uhid"
add_program "$build/tests/hid_linux/hidraw-guest-check"
if [ -x "$build/cli/kbupdate" ]; then
  add_program "$build/cli/kbupdate"
fi
if [ -f "$hex" ]; then cp "$hex" "$stage/work/firmware.hex"; fi

(cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$out"
echo "make-initramfs: $(du -k "$out" | cut -f1) KiB"
