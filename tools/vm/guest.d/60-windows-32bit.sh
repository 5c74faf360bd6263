# The 32-bit Windows build (the release) where the build machine cannot run
# it: the release zip's kbupdate.exe starts, every test program of
# build/win32 runs under 32-bit Wine, then the smoke test of the program and its
# demo under Xvfb (tools/wine/smoke.sh).
# Uses the guest's Wine prefix (00-wine-prefix.sh runs before it).
# The smoke test's waits are three times the machine's: a 32-bit Wine start
# under emulation beside the machine's other steps has taken over 2 minutes.
# timeout: 2400
. "$KBT_TREE/tools/vm/guest-lib.sh"
[ -f "$W/tests/win32/win32_tests.exe" ] || { result "FAIL no 32-bit Windows build in $W"; exit 1; }
export WINEPREFIX=$KBT_TREE/build/vm/wine-prefix
[ -f "$WINEPREFIX/.kb-guest-ready" ] || { result "FAIL no guest Wine prefix (00-wine-prefix.sh)"; exit 1; }
xvfb_start || exit 1
CLEANUP+=("timeout 20 wineserver -k")

# One wineserver for every run; the first program starts Wine's services.
timeout 20 wineserver -p >/dev/null 2>&1
t0=$(now_ms)
KB_WINE_TIMEOUT=600 "$KBT_TREE/tools/wine/run.sh" "$W/tests/win32/win32_tests.exe" --gtest_list_tests >/dev/null
figure "first 32-bit Wine program: $(secs $(($(now_ms) - t0)))"

failed=0
# The release zip's own copy, unpacked on the machine by tools/ci.d/30-windows.sh.
if ! "$KBT_TREE/tools/wine/run.sh" "$W"/zip-check/KeyboardUpdateTool-*/kbupdate.exe --version; then
  note "the release zip's kbupdate.exe does not start"
  failed=1
fi
t0=$(now_ms)
"$KBT_TREE/tools/wine/suites.sh" "$W" "$R/suites" >"$R/suites.log" 2>&1 || { failed=1; cat "$R/suites.log"; }
summary=$(tail -n1 "$R/suites.log")
figure "32-bit ${summary#suites: } under Wine, $(secs $(($(now_ms) - t0)))"

t0=$(now_ms)
KB_WINE_SLOW=3 "$KBT_TREE/tools/wine/smoke.sh" "$W" >"$R/smoke.log" 2>&1 || { failed=1; cat "$R/smoke.log"; }
figure "32-bit smoke test: $(tail -n1 "$R/smoke.log") in $(secs $(($(now_ms) - t0)))"

if [ $failed = 0 ]; then
  result "PASS 32-bit suites and smoke test ($summary)"
else
  result "FAIL 32-bit suites or smoke test (see $SCENARIO.log)"
fi
exit $failed
