# The 32-bit Wine prefix of the guest's Windows scenarios
# (build/vm/wine-prefix, see tools/vm/wine-prefix.sh). Where the build
# machine runs 32-bit programs it is made there before the guest boots and
# this scenario only checks it. Where it cannot, the prefix is made here,
# where Debian's kernel runs 32-bit Wine, and handed back to the machine
# (results/keep/wine-prefix.tar, unpacked by tools/vm/run-guest.sh), so the
# next boot finds it ready.
# Under emulation, with the machine's other steps running beside the guest,
# wineboot alone has taken over 5 minutes: the time-outs are three times
# the machine's.
# timeout: 2400
. "$KBT_TREE/tools/vm/guest-lib.sh"
export WINEPREFIX=$KBT_TREE/build/vm/wine-prefix
if [ -f "$WINEPREFIX/.kb-guest-ready" ]; then
  result "PASS the prefix is ready"
  exit 0
fi
xvfb_start || exit 1
CLEANUP+=("timeout 20 wineserver -k")
t0=$(now_ms)
rm -rf "$WINEPREFIX"
if ! KB_WINE_SLOW=3 KBT_WINE_PREFIX_HERE=1 "$KBT_TREE/tools/vm/wine-prefix.sh"; then
  result "FAIL the 32-bit prefix could not be made"
  exit 1
fi
figure "32-bit Wine prefix made in $(secs $(($(now_ms) - t0)))"
mkdir -p "$KBT_RESULTS/keep"
tar -C "$WINEPREFIX" -cf "$KBT_RESULTS/keep/wine-prefix.tar.part" . &&
  mv "$KBT_RESULTS/keep/wine-prefix.tar.part" "$KBT_RESULTS/keep/wine-prefix.tar" || {
  result "FAIL the prefix could not be handed back"
  exit 1
}
result "PASS the prefix was made in the guest ($(secs $(($(now_ms) - t0))))"
