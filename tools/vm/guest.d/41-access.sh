# kbupdate access under a real udev daemon, with the shipped rule only (it
# covers the keyboard in update mode, not its model in normal operation):
#   - a user in plugdev cannot update a keyboard in normal operation: exit 6,
#     with the command that gives access;
#   - root runs `kbupdate access --install` for that user (as sudo would):
#     the keyboard's line is added once, udev reloads and re-applies, and a
#     second run adds nothing;
#   - the same user then updates the keyboard: PASS, memory = image.
# timeout: 300
. "$KBT_TREE/tools/vm/guest-lib.sh"
"$B/cli/kbupdate" help access >/dev/null 2>&1 || skip "this build's kbupdate has no access verb"
udev_unpack || exit 1
# Only the shipped rule: an earlier scenario's own lines go.
rm -f /etc/udev/rules.d/71-kbupdate-*.rules
groupadd -f plugdev
add_user kbt-acc plugdev

udev_start || exit 1

shared_workdir || exit 1
# Root acting for the user, as `sudo kbupdate access --install` would.
for_user() {
  SUDO_UID=$(id -u kbt-acc) SUDO_GID=$(id -g kbt-acc) SUDO_USER=kbt-acc timeout 90 "$@"
}
rules=/etc/udev/rules.d/71-kbupdate-local.rules

udev_keyboard || exit 1

note "kbupdate flash as a user in plugdev, before"
as kbt-acc "'$B/cli/kbupdate' flash --wait 3 firmware.hex" >"$R/before.log" 2>&1
before_rc=$?
cat "$R/before.log"
before=bad
[ "$before_rc" = 6 ] && grep -q 'kbupdate access --install' "$R/before.log" && before=ok

note "kbupdate access as that user"
as kbt-acc "'$B/cli/kbupdate' access" >"$R/access.log" 2>&1
cat "$R/access.log"

note "kbupdate access --install as root, for that user, twice"
for_user "$B/cli/kbupdate" access --install >"$R/install1.log" 2>&1
install1_rc=$?
cat "$R/install1.log"
cp "$rules" "$R/rules.first" 2>/dev/null
for_user "$B/cli/kbupdate" access --install >"$R/install2.log" 2>&1
install2_rc=$?
cat "$R/install2.log"
lines=$(grep -c '^SUBSYSTEM.*4B54:0101' "$rules" 2>/dev/null)
cmp -s "$R/rules.first" "$rules" && again=unchanged || again=changed
timeout 30 udevadm settle
ls -l /dev/hidraw*

note "kbupdate flash as the same user, after"
rm -f DLog.txt
as kbt-acc "'$B/cli/kbupdate' flash --wait 30 firmware.hex" >"$R/after.log" 2>&1
after_rc=$?
grep -v '^progress' "$R/after.log"
after_log=$(tr -d '\r' <DLog.txt 2>/dev/null)
sim_stop kb
cmp -s image.bin "$R/kb.memory" && memory=image || memory=differs

summary="before=$before(exit $before_rc) install=$install1_rc/$install2_rc lines=${lines:-0} second-run=$again after=${after_log:-none}/$after_rc memory=$memory"
if [ "$before" = ok ] && [ "$install1_rc" = 0 ] && [ "$install2_rc" = 0 ] && [ "${lines:-0}" = 1 ] &&
  [ "$again" = unchanged ] && [ "$after_rc" = 0 ] && [ "$after_log" = PASS ] && [ "$memory" = image ]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
