# A path from a listing opens only the interface the listing described, on
# the USB stack where hidraw reuses minors: keyboard A (normal operation,
# port 1) is listed; A is pulled out; keyboard B arrives and takes A's
# hidraw nodes (the lowest free minors). Opening A's old vendor path through
# A's listing is refused, naming what the node is now; by path alone it
# opens B. Twice: B the same model at another port (told apart by the
# location), then B in update mode (other IDs). A fresh listing opens B.
# timeout: 180
. "$KBT_TREE/tools/vm/guest-lib.sh"
. "$KBT_TREE/tools/vm/guest-usb.sh"
CHECK=$B/tests/hid_linux/hidraw-listing-check
[ -x "$CHECK" ] || skip "no $CHECK (build the hidraw-listing-check target)"

usb_start kb --port 1 --serial A0001 || exit 1
usb_keyboards 1 60 || exit 1
"$CHECK" save "$R/listing-a.txt" || exit 1
cat "$R/listing-a.txt"
a_nodes=$(awk '$5 == "1-1" {print $1}' "$R/listing-a.txt" | sort | paste -sd' ')

# takes_over NAME PORT IDS OPTIONS...: A's nodes are taken by B at PORT,
# whose IDs are IDS; A's listing is opened. Sets verdict.
takes_over() {
  local name=$1 port=$2 ids=$3 b_nodes
  shift 3
  usb_ctl kb "unplug $(cat "$R/present")" || return 1
  wait_nodes 0 30 || return 1
  usb_ctl kb "plug $port $*" || return 1
  echo "$port" >"$R/present"
  usb_keyboards 1 60 || return 1
  "$CHECK" save "$R/listing-$name.txt"
  b_nodes=$(awk -v at="1-$port" '$5 == at {print $1}' "$R/listing-$name.txt" | sort | paste -sd' ')
  note "$name: A's nodes '$a_nodes', B's '$b_nodes'"
  "$CHECK" open "$R/listing-a.txt" 1-1 | tee "$R/open-$name.txt"
  verdict=bad
  # A's vendor interface (the one a flash would open) and its boot
  # interface: both refused through the listing, both open by path.
  [ "$b_nodes" = "$a_nodes" ] &&
    [ "$(grep -c '^listed .*: refused: open /dev/hidraw[0-9]*: the node now belongs to another device' "$R/open-$name.txt")" = 2 ] &&
    [ "$(grep -c '^path .*: opened' "$R/open-$name.txt")" = 2 ] &&
    grep -q "another device ($ids at 1-$port)" "$R/open-$name.txt" && verdict=refused
  # B's own listing opens.
  "$CHECK" open "$R/listing-$name.txt" "1-$port" | grep -q '^listed .*: refused' && verdict="$verdict,own-listing-refused"
  return 0
}
echo 1 >"$R/present"
takes_over same-model 2 4b54:0101 --serial B0001 || exit 1
same=$verdict
takes_over update-mode 3 0603:1020 --serial B0002 --update-mode || exit 1
other=$verdict

summary="A-nodes='$a_nodes' same-model-at-1-2=$same update-mode-at-1-3=$other"
if [ "$same" = refused ] && [ "$other" = refused ]; then
  result "PASS $summary"
else
  result "FAIL $summary"
  exit 1
fi
