#!/usr/bin/env bash
# Boots the real-kernel test guest once and runs scenarios in it:
#   tools/vm/run-guest.sh NAME SCENARIO...
# SCENARIO: a file name in tools/vm/guest.d/ (shell patterns allowed, e.g.
# '1?-*.sh'), run in the order given. NAME names the run: its results go to
# build/vm/results/NAME/ (one NAME.log per scenario, summary, console.log).
#
# The guest is Debian's own kernel under QEMU (software emulation; KVM is not
# needed) with the build machine's root file system shared read-only over
# virtio-9p under a tmpfs overlay (tools/vm/boot-init.sh), so scenarios run
# the programs of the build tree, Wine and Qt as they are on the machine.
# The programs a scenario needs must be built before (the CI steps do it).
#
# Kernel: the package linux-image-amd64 depends on, fetched with apt-get
# download and cached under $KB_TEST_CACHE/vm-packages (tools/test-env.sh),
# else build/vm/cache (reruns skip the download); only
# vmlinuz and the modules of boot-init.sh are unpacked. Debian's udev
# package is fetched the same way and unpacked to build/vm/udev, for the
# scenarios that run a real udev daemon; neither is installed on the machine.
#
# Exits 0 when every scenario passed; prints the logs of those that failed
# or skipped. KBT_GUEST_TIMEOUT bounds the boot (seconds; default the sum
# of the scenarios' own time-outs and 5 minutes). Several runs may boot at
# once (under different NAMEs); they prepare the kernel one at a time.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
vm=$root/build/vm
[ $# -ge 2 ] || { echo "usage: $0 NAME SCENARIO..." >&2; exit 2; }
name=$1; shift
packages=${KB_TEST_CACHE:+$KB_TEST_CACHE/vm-packages}
packages=${packages:-$vm/cache}
mkdir -p "$packages" "$vm"

say() { echo "guest($name): $*"; }

# --- scenarios ---------------------------------------------------------------
scenarios=()
for pattern in "$@"; do
  found=0
  for f in "$root"/tools/vm/guest.d/$pattern; do
    [ -f "$f" ] || continue
    scenarios+=("$(basename "$f")"); found=1
  done
  [ $found = 1 ] || { say "no scenario matches '$pattern'"; exit 2; }
done
limits=0
for s in "${scenarios[@]}"; do
  limit=$(sed -n 's/^# timeout: *\([0-9][0-9]*\).*/\1/p' "$root/tools/vm/guest.d/$s" | head -n1)
  limits=$((limits + ${limit:-300}))
done
boot_timeout=${KBT_GUEST_TIMEOUT:-$((limits + 300))}

# One run at a time prepares the kernel, the udev package and the packages'
# cache.
exec 8>"$packages/.prepare.lock"
flock -w 900 8 || { say "another run held the kernel's lock for 15 minutes"; exit 1; }

# --- packages ----------------------------------------------------------------
fetch() {  # fetch PACKAGE: prints the cached .deb
  local deb
  deb=$(ls "$packages/$1"_*.deb 2>/dev/null | head -n1 || true)
  if [ -z "$deb" ]; then
    say "downloading $1" >&2
    (cd "$packages" && timeout 300 apt-get download "$1") >&2
    deb=$(ls "$packages/$1"_*.deb | head -n1)
  fi
  echo "$deb"
}
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
deb=$(fetch "$kpkg")
kdir=$vm/kernel/$(basename "$deb" .deb)
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci
         9pnet 9pnet_virtio netfs fscache 9p overlay usb-common usbcore hid uhid usbhid
         hid-generic usbip-core vhci-hcd)
if [ ! -f "$kdir/done-3" ]; then
  say "unpacking $(basename "$deb")"
  rm -rf "$kdir" && mkdir -p "$kdir/x" "$kdir/modules"
  patterns=('./boot/vmlinuz-*')
  for m in "${modules[@]}"; do patterns+=("./lib/modules/*/$m.ko*"); done
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kdir/x" --wildcards "${patterns[@]}"
  cp "$kdir"/x/boot/vmlinuz-* "$kdir/vmlinuz"
  for m in "${modules[@]}"; do
    f=$(find "$kdir/x/lib/modules" -name "$m.ko*" | head -n1)
    [ -n "$f" ] || { say "no $m.ko in $(basename "$deb")"; exit 1; }
    case "$f" in
      # busybox insmod takes the module as it is: unpack compressed ones.
      *.xz) xz -dc "$f" >"$kdir/modules/$m.ko" ;;
      *.zst) zstd -dc "$f" >"$kdir/modules/$m.ko" ;;
      *.gz) gzip -dc "$f" >"$kdir/modules/$m.ko" ;;
      *) cp "$f" "$kdir/modules/$m.ko" ;;
    esac
  done
  rm -rf "$kdir/x"
  touch "$kdir/done-3"
fi
udeb=$(fetch udev)
udir=$vm/udev/$(basename "$udeb" .deb)
if [ ! -f "$udir/done" ]; then
  rm -rf "$udir" && mkdir -p "$udir/root"
  dpkg-deb -x "$udeb" "$udir/root"
  touch "$udir/done"
fi
ln -sfn "$udir/root" "$vm/udev/current"

initrd=$vm/boot-$name.cpio.gz
"$root/tools/vm/make-initramfs.sh" "$initrd" "$kdir/modules"
flock -u 8

# --- boot ---------------------------------------------------------------------
results=$vm/results/$name
rm -rf "$results" && mkdir -p "$results"
cat >"$results/run.conf" <<CONF
KBT_TREE='$root'
KBT_RUN='$name'
KBT_SCENARIOS='${scenarios[*]}'
CONF
log=$results/console.log
say "booting $(basename "$kdir") under QEMU: ${scenarios[*]} (timeout ${boot_timeout} s)"
t0=$SECONDS
set +e
# -cpu max crashes the guest kernel in every 32-bit Wine process; without
# SMAP it does not. One guest at a time: two at once are 2-3x slower each.
timeout --kill-after=10 "$boot_timeout" qemu-system-x86_64 -accel tcg -cpu max,-smap -smp 2 \
  -m 3G -nographic -no-reboot -kernel "$kdir/vmlinuz" -initrd "$initrd" \
  -append "console=ttyS0 panic=-1 quiet" \
  -fsdev local,id=hr,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hr,mount_tag=hostroot \
  -fsdev local,id=res,path="$results",security_model=none \
  -device virtio-9p-pci,fsdev=res,mount_tag=results \
  </dev/null >"$log" 2>&1
qrc=$?
set -e
say "guest ran $((SECONDS - t0)) s (qemu exit $qrc)"
[ "$qrc" = 124 ] && say "the guest did not finish within ${boot_timeout} s"

tr -d '\r' <"$log" | grep -E '^(RESULT|FIGURE|KBT-GUEST)' || true

# What a scenario made for later boots (results/keep/NAME.tar) becomes
# build/vm/NAME on the machine.
for t in "$results"/keep/*.tar; do
  [ -f "$t" ] || continue
  keep=$vm/$(basename "$t" .tar)
  say "keeping $(basename "$t" .tar) for the next boot"
  rm -rf "$keep" && mkdir -p "$keep" && tar -C "$keep" -xf "$t" && rm -f "$t"
done

# A scenario that skips did not test what its step promises: it fails the
# run unless KBT_GUEST_SKIP_OK=1 (for trying scenarios by hand).
ok=1
for s in "${scenarios[@]}"; do
  line=$(grep -E "^${s} " "$results/summary" 2>/dev/null || true)
  case "$line" in
    *" pass "*) ;;
    *" skip "*) [ "${KBT_GUEST_SKIP_OK:-0}" = 1 ] && continue
      ok=0
      say "$s skipped, which fails the run (it says why); its log follows"
      sed 's/^/    /' "$results/${s%.sh}.log" 2>/dev/null || true
      ;;
    *)
      ok=0
      say "$s: ${line:-did not run to its end}; its log follows"
      sed 's/^/    /' "$results/${s%.sh}.log" 2>/dev/null || true
      ;;
  esac
done
if [ $ok = 1 ]; then
  say "PASS"
  exit 0
fi
if ! grep -q '^KBT-GUEST: done' <(tr -d '\r' <"$log"); then
  say "console log follows"
  tr -d '\r' <"$log" | tail -60
fi
say "FAIL"
exit 1
