#!/usr/bin/env bash
# Packs the guest's boot initramfs (cpio newc, gzip): busybox, the kernel
# modules that tools/vm/boot-init.sh loads, and that script as /init.
#   make-initramfs.sh OUT.cpio.gz MODULE_DIR
# MODULE_DIR holds the modules, uncompressed, as NAME.ko. Everything else
# the guest runs comes from the machine's root over 9p.
set -euo pipefail
out=$1 mdir=$2
here=$(cd "$(dirname "$0")" && pwd)
busybox=/bin/busybox  # busybox-static's: the initramfs has no libraries
if ! [ -x "$busybox" ] || ldd "$busybox" >/dev/null 2>&1; then
  echo "make-initramfs: needs busybox-static (a statically linked /bin/busybox)" >&2
  exit 1
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage"/{bin,dev,proc,sys,lib/modules}
cp "$busybox" "$stage/bin/busybox"
cp "$here/boot-init.sh" "$stage/init"
chmod 755 "$stage/init"
cp "$mdir"/*.ko "$stage/lib/modules/"
(cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$out"
