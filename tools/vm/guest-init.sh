#!/bin/busybox sh
# /init of the real-kernel test's initramfs. Loads the kernel's HID stack,
# puts the simulated keyboard behind /dev/uhid and runs the real kbupdate
# against it:
#   1. kbupdate list; kbupdate flash as a user without access (says why)
#   2. kbupdate flash firmware.hex   from normal operation -> PASS
#   3. the same, the keyboard leaves the bus in the middle -> FAIL, no hang
#   4. the same again -> PASS
#   5. the keyboard leaves one report unanswered -> PASS after a repeated pass
#   6. hidraw-guest-check: the backend's byte conventions and the monitor
# Prints one "KBT-E2E RESULT" line and "KBT-E2E: SUCCESS" or
# "KBT-E2E: FAILURE", then powers off. Every step is bounded by a timeout;
# the host bounds the whole boot as well.
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# The image has no /dev/console node for the kernel to give /init; take the
# console from devtmpfs now.
exec </dev/console >/dev/console 2>&1

# Hundredths of a second since boot.
now() { read -r up _ </proc/uptime; echo "${up%.*}${up#*.}"; }
fail() {
  echo "KBT-E2E: $*"
  echo "--- simulator log"; cat /tmp/sim.log 2>/dev/null
  echo "--- kernel log (hid)"; dmesg | grep -i -E 'hid|uhid' | tail -40
  echo "KBT-E2E: FAILURE"
  poweroff -f
}

echo "KBT-E2E: guest up, kernel $(uname -r)"
# hid first (hid core and hidraw), then uhid; hid-generic binds the devices
# and without it no hidraw node appears.
for m in hid uhid hid-generic; do
  insmod /lib/modules/$m.ko || fail "insmod $m failed"
done
i=0
while [ ! -c /dev/uhid ]; do
  i=$((i + 1)); [ $i -gt 50 ] && fail "no /dev/uhid"
  sleep 0.1
done

cd /work || fail "no /work"
# Entries into update mode: run 1 makes the 1st, run 2 the 2nd (the device
# leaves the bus at its 6th report, block 3 of the program pass, and comes
# back in update mode since program byte 0 is then 0x00), run 3 none, run 4
# the 3rd (the device leaves its 5th report unanswered).
kbsim-uhid --unplug-at 6 --in-entry 2 --stall-at 5 --stall-in-entry 3 >/tmp/sim.log 2>&1 &
sim=$!
i=0
until grep -q 'kbsim-uhid: ready' /tmp/sim.log 2>/dev/null; do
  i=$((i + 1)); [ $i -gt 100 ] && fail "simulator did not start"
  kill -0 $sim 2>/dev/null || fail "simulator ended"
  sleep 0.1
done
echo "KBT-E2E: hidraw nodes: $(ls /sys/class/hidraw | tr '\n' ' ')"

if ! kbupdate help flash >/dev/null 2>&1; then
  # An image from a tree without the flash verb: check the HID layer alone.
  echo "=== hidraw-guest-check (no kbupdate flash in this image)"
  timeout 30 hidraw-guest-check
  fail "no kbupdate flash in this image (hidraw-guest-check exit $?)"
fi

echo "=== kbupdate list"
timeout 20 kbupdate list >/tmp/list.log 2>&1
list_rc=$?
cat /tmp/list.log
# The keyboard in normal operation: its boot interface matches nothing, its
# vendor interface would get the Enter-update-mode pair and can be opened.
grep -q ' 4b54 .* 0x0001 .* - ' /tmp/list.log && grep -q ' 0xff00 .* 6  enter  *ok' /tmp/list.log ||
  list_rc="$list_rc/unexpected"

# Without access rights (no rule gives a plain user the nodes that devtmpfs
# makes root's), flash must say why instead of only timing out.
mkdir -p /etc /home/op
echo 'root:x:0:0::/:/bin/sh' >/etc/passwd
echo 'op:x:1000:1000::/home/op:/bin/sh' >>/etc/passwd
printf 'root:x:0:\nop:x:1000:\n' >/etc/group
chown 1000:1000 /home/op
echo "=== kbupdate flash as a user without access"
timeout 30 su op -s /bin/sh -c 'cd /home/op && kbupdate flash --wait 2 /work/firmware.hex' \
  >/tmp/noaccess.log 2>&1
noaccess_rc=$?
cat /tmp/noaccess.log
noaccess=bad
[ "$noaccess_rc" = 6 ] && grep -q 'permission denied on /dev/hidraw' /tmp/noaccess.log &&
  noaccess=ok

# flash NAME: one kbupdate flash; sets rc, took (hundredths) and log.
flash() {
  rm -f DLog.txt
  echo "=== kbupdate flash ($1)"
  t0=$(now)
  timeout 45 kbupdate flash firmware.hex
  rc=$?
  took=$(( $(now) - t0 ))
  # DLog.txt ends its line with CR LF.
  log=$(tr -d '\r' <DLog.txt 2>/dev/null)
  echo "=== $1: exit $rc, DLog.txt '${log}', $((took / 100)).$(printf %02d $((took % 100))) s"
}

flash "run 1, from normal operation"
r1=$rc; l1=$log; t1=$took
flash "run 2, keyboard leaves the bus"
r2=$rc; l2=$log; t2=$took
flash "run 3, after the fault"
r3=$rc; l3=$log; t3=$took
flash "run 4, a report the keyboard never answers"
r4=$rc; l4=$log; t4=$took

# Last, as it leaves the keyboard in update mode: the backend's byte
# conventions and the monitor, checked on their own.
echo "=== hidraw-guest-check"
timeout 30 hidraw-guest-check
check_rc=$?

secs() { echo "$(($1 / 100)).$(printf %02d $(($1 % 100)))s"; }
echo "KBT-E2E RESULT: list=$list_rc no-access=$noaccess hidraw-check=$check_rc run1=${l1:-none}/$r1 ($(secs $t1)) run2=${l2:-none}/$r2 ($(secs $t2)) run3=${l3:-none}/$r3 ($(secs $t3)) run4=${l4:-none}/$r4 ($(secs $t4))"
echo "--- simulator log"; cat /tmp/sim.log

ok=1
[ "$list_rc" = 0 ] || ok=0
[ "$check_rc" = 0 ] || ok=0
[ "$noaccess" = ok ] || ok=0
[ "$r1" = 0 ] && [ "$l1" = PASS ] || ok=0
# 124 is timeout's code: a hang is no acceptable failure.
[ "$r2" != 0 ] && [ "$r2" != 124 ] && [ "$l2" = FAIL ] || ok=0
[ "$r3" = 0 ] && [ "$l3" = PASS ] || ok=0
# The kernel fails the unanswered request after 5 s; the pass is repeated.
[ "$r4" = 0 ] && [ "$l4" = PASS ] || ok=0
if [ $ok = 1 ]; then
  echo "KBT-E2E: update time $(secs $t1) (run 1, from normal operation to PASS)"
  echo "KBT-E2E: device side, Begin to Finish of runs 1, 3 and 4:" \
    "$(grep 'from Begin to Finish' /tmp/sim.log | awk '{printf "%s ms  ", $4}')"
  echo "KBT-E2E: SUCCESS"
else
  echo "KBT-E2E: FAILURE"
fi
kill $sim 2>/dev/null
poweroff -f
