# The restore cycle on the USB stack, one keyboard on vhci-hcd port 1 that
# holds OLD at power-on:
#   dump backup.hex; verify OLD.hex -> PASS; flash NEW.hex;
#   verify backup.hex -> FAIL (differs); flash backup.hex;
#   verify OLD.hex -> PASS; the keyboard's memory = OLD.
# NEW.hex is the demo firmware, OLD.hex the same with one data byte changed
# outside the signature. Every step finds the keyboard at 1-1 after its
# re-enumerations (normal operation -> update mode -> normal operation).
# (The whole cycle, with a flash of OLD first, runs on uhid: 12-restore.)
# timeout: 300
. "$KBT_TREE/tools/vm/guest-lib.sh"
. "$KBT_TREE/tools/vm/guest-usb.sh"
K=$B/cli/kbupdate

work=$(mktemp -d)
cd "$work" || exit 1
cp "$HEX" new.hex
# The last data record's first data byte, plus one (the converter checks no
# checksum, and the signature lies elsewhere).
last=$(grep -n '^:[0-9A-Fa-f]\{6\}00' new.hex | tail -n1 | cut -d: -f1)
line=$(sed -n "${last}p" new.hex)
byte=$(printf '%02X' $(((0x${line:9:2} + 1) % 256)))
sed "${last}s/.*/${line:0:9}${byte}${line:11}/" new.hex >old.hex
"$K" convert old.hex old.bin >/dev/null
"$K" convert new.hex new.bin >/dev/null
cmp -s old.bin new.bin && { note "old.hex and new.hex give the same image"; exit 1; }

usb_start kb --port 1 --serial HK0002 --memory "$work/old.bin" --dump "$R/kb.memory" || exit 1
usb_keyboards 1 60 || exit 1
steps=()
ok=1
t_all=$(now_ms)
# step WANT NAME ARGS...: one kbupdate run; WANT is the exit code it must give.
step() {
  local want=$1 name=$2 rc t0
  shift 2
  t0=$(now_ms)
  timeout 90 "$K" "$@" >"$R/$name.log" 2>&1
  rc=$?
  grep -v '^progress' "$R/$name.log" | tail -3
  note "$name: kbupdate $* -> exit $rc ($(secs $(($(now_ms) - t0))))"
  steps+=("$name=$rc")
  [ "$rc" = "$want" ] || ok=0
}
step 0 dump dump backup.hex
[ -s backup.hex ] || ok=0
step 0 verify-old verify old.hex
step 0 flash-new flash new.hex
step 1 verify-backup-differs verify backup.hex
step 0 restore flash backup.hex
step 0 verify-restored verify old.hex
took=$(($(now_ms) - t_all))
# Each step names the keyboard by its USB port path.
at=$(grep -lE '(^| )1-1( |:|$)' "$R"/dump.log "$R"/verify-old.log "$R"/flash-new.log 2>/dev/null | wc -l)
sim_stop kb
cmp -s old.bin "$R/kb.memory" && memory=old || { memory=differs; ok=0; }
[ "$at" = 3 ] || ok=0

figure "USB keyboard, the restore cycle (6 runs): $(secs $took)"
summary="${steps[*]} memory=$memory location-1-1=$at/3"
if [ $ok = 1 ]; then result "PASS $summary"; else result "FAIL $summary"; exit 1; fi
