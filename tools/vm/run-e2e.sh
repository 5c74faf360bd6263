#!/usr/bin/env bash
# The real-kernel end-to-end test: boots Debian's own kernel under QEMU
# (software emulation; no KVM needed) with an initramfs of ours, in which the
# real kbupdate updates the simulated keyboard through the kernel's uhid,
# hid-generic and hidraw (tools/vm/guest-init.sh says what runs).
#
#   tools/vm/run-e2e.sh            fetch, build, pack, boot, check
#
# Kernel: the package that linux-image-amd64 depends on, fetched with
# apt-get download and cached under build/vm/ (reruns skip the download); only
# vmlinuz, hid.ko, uhid.ko and hid-generic.ko are unpacked. Installing the
# package would pull in initramfs tools and write to /boot.
# Guest programs: built in build/guest; kbsim-uhid statically, kbupdate with
# its shared libraries and the dynamic loader copied in (Debian ships no
# static libudev).
# Exits 0 only when the guest reports success; prints the guest log otherwise.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
vm=$root/build/vm
guest=$root/build/guest
jobs=${JOBS:-2}
boot_timeout=${KBT_BOOT_TIMEOUT:-180}
mkdir -p "$vm/cache"

say() { echo "kernel-e2e: $*"; }

# --- kernel ------------------------------------------------------------------
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
kpkg=$(kernel_package)
if [ -z "$kpkg" ] && [ "$(id -u)" -eq 0 ]; then
  # A fresh system may come without package lists.
  say "no package lists; running apt-get update"
  timeout 300 apt-get update -q >&2 || true
  kpkg=$(kernel_package)
fi
[ -n "$kpkg" ] || { say "cannot tell which kernel package linux-image-amd64 depends on"; exit 1; }
deb=$(ls "$vm/cache/${kpkg}"_*.deb 2>/dev/null | head -n1 || true)
if [ -z "$deb" ]; then
  say "downloading $kpkg"
  (cd "$vm/cache" && timeout 300 apt-get download "$kpkg") >&2
  deb=$(ls "$vm/cache/${kpkg}"_*.deb | head -n1)
fi
kdir=$vm/kernel/$(basename "$deb" .deb)
if [ ! -f "$kdir/done" ]; then
  say "unpacking $(basename "$deb")"
  rm -rf "$kdir" && mkdir -p "$kdir/x"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kdir/x" --wildcards \
    './boot/vmlinuz-*' \
    './lib/modules/*/kernel/drivers/hid/hid.ko*' \
    './lib/modules/*/kernel/drivers/hid/uhid.ko*' \
    './lib/modules/*/kernel/drivers/hid/hid-generic.ko*'
  cp "$kdir"/x/boot/vmlinuz-* "$kdir/vmlinuz"
  for m in hid uhid hid-generic; do
    f=$(ls "$kdir"/x/lib/modules/*/kernel/drivers/hid/$m.ko* | head -n1)
    case "$f" in
      # busybox insmod takes the module as it is: unpack compressed ones.
      *.xz) xz -dc "$f" >"$kdir/$m.ko" ;;
      *.zst) zstd -dc "$f" >"$kdir/$m.ko" ;;
      *.gz) gzip -dc "$f" >"$kdir/$m.ko" ;;
      *) cp "$f" "$kdir/$m.ko" ;;
    esac
  done
  rm -rf "$kdir/x"
  touch "$kdir/done"
fi

# --- guest programs -----------------------------------------------------------
say "building the guest programs"
cmake -S "$root" -B "$guest" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKB_BUILD_TESTS=ON \
  -DKB_BUILD_BENCH=OFF -DKB_BUILD_QT=OFF -DKB_GUEST_STATIC=ON >/dev/null
targets=(kbsim-uhid hidraw-guest-check)
if grep -q '^build cli/kbupdate:' "$guest/build.ninja" 2>/dev/null; then targets+=(kbupdate); fi
cmake --build "$guest" -j "$jobs" --target "${targets[@]}" >/dev/null

# --- initramfs ----------------------------------------------------------------
initrd=$vm/initrd.cpio.gz
"$root/tools/vm/make-initramfs.sh" "$initrd" "$kdir" "$guest" "$root/res/demo/firmware.hex"

# --- boot ---------------------------------------------------------------------
log=$vm/guest.log
say "booting $(basename "$kdir") under QEMU (timeout ${boot_timeout} s)"
t0=$SECONDS
set +e
timeout --kill-after=5 "$boot_timeout" qemu-system-x86_64 -accel tcg -m 512M -nographic \
  -no-reboot -kernel "$kdir/vmlinuz" -initrd "$initrd" \
  -append "console=ttyS0 panic=-1 quiet" </dev/null >"$log" 2>&1
qrc=$?
set -e
say "guest ran $((SECONDS - t0)) s (qemu exit $qrc)"

tr -d '\r' <"$log" | grep -E '^(KBT-E2E|=== )' || true
if tr -d '\r' <"$log" | grep -q '^KBT-E2E: SUCCESS'; then
  say "PASS"
  exit 0
fi
[ "$qrc" = 124 ] && say "the guest did not finish within ${boot_timeout} s"
say "FAIL; guest log follows"
tr -d '\r' <"$log"
exit 1
