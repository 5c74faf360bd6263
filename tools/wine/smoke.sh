#!/usr/bin/env bash
# Smoke test of the Windows programs under Wine on a running X display
# ($DISPLAY, e.g. Xvfb): what an operator sees, checked by screenshot pixels.
#   1. KeyboardUpdateTool.exe started in a folder with a .hex file: the dialog
#      shows the file's path and a light grey, disabled Start button; closing
#      the dialog ends the program.
#   2. KeyboardUpdateToolDemo.exe over the simulated keyboard: the button
#      turns yellow, a click runs a whole update, the button turns green and
#      DLog.txt says PASS; closing ends the program.
#   3. The demo closed in the middle of an update ends promptly, without
#      waiting for the run.
#   tools/wine/smoke.sh BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: smoke.sh BUILD_DIR}" && pwd)
run="$here/run.sh"
probe="$build/tests/win32/kb_ui_probe.exe"
work=$(mktemp -d "$build/smoke.XXXXXX")
failed=0

fail() { echo "smoke: FAIL: $*" >&2; failed=1; }
# KB_WINE_SLOW multiplies the waits below (Wine under software emulation on
# a busy machine has taken minutes to show a window).
slow=${KB_WINE_SLOW:-1}
probe() { KB_WINE_TIMEOUT=$((60 * slow)) "$run" "$probe" "$@"; }

# The colour at screen point (x, y) as RRGGBB.
pixel() {
  import -window root "$work/shot.png" 2>/dev/null &&
    convert "$work/shot.png" -format "%[hex:p{$1,$2}]" info: 2>/dev/null | cut -c1-6 | tr 'A-F' 'a-f'
}

# Polls the fill colour of the Start button (inside its outline and raised
# edge) until it is $1, for at most $2 seconds.
wait_colour() {
  local want=$1 until=$((SECONDS + $2)) got=
  while [ $SECONDS -lt $until ]; do
    got=$(pixel $((bx + 6)) $((by + 6)))
    [ "$got" = "$want" ] && return 0
    sleep 0.5
  done
  echo "smoke: button colour $got, wanted $want" >&2
  return 1
}

# Starts a program in its own folder with the demo firmware beside it.
start() {  # start EXE
  local dir="$work/$(basename "$1" .exe)"
  mkdir -p "$dir"
  cp "$1" "$dir/"
  cp "$root/res/demo/firmware.hex" "$dir/"
  (cd "$dir" && KB_WINE_TIMEOUT=$((120 * slow)) exec "$run" "./$(basename "$1")") >"$dir/out.log" 2>&1 &
  pid=$!
  folder=$dir
  local rect
  rect=$(probe wait $((60 * slow))) || { fail "$(basename "$1"): no dialog"; return 1; }
  read -r bx by bw bh <<<"$rect"
  echo "smoke: $(basename "$1"): dialog shown, Start button at $bx,$by ${bw}x$bh"
}

# Closes the dialog and checks that the program has ended.
finish() {
  probe close $((20 * slow)) >/dev/null || fail "dialog does not close"
  local until=$((SECONDS + 20 * slow))
  while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $until ]; do sleep 0.2; done
  if kill -0 "$pid" 2>/dev/null; then
    fail "program still running after its dialog closed"
    kill "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
}

# 1. The program on this machine's (absent) HID devices.
if start "$build/app/KeyboardUpdateTool.exe"; then
  state=$(probe state)
  echo "smoke: $state"
  case "$state" in
    *"enabled=0"*"firmware.hex"*) ;;
    *) fail "program: expected a disabled button and the .hex path: $state" ;;
  esac
  wait_colour f3f3f3 10 || fail "program: button not light grey"
  finish
fi

# 2. The demo: a whole simulated update.
if start "$build/app/KeyboardUpdateToolDemo.exe"; then
  wait_colour f3f3f3 5 || fail "demo: button not light grey at start"
  if probe wait-enabled 60 >/dev/null && wait_colour ffff00 10; then
    echo "smoke: demo: keyboard in update mode, button yellow"
    probe click >/dev/null
    if wait_colour 00ff00 60; then
      echo "smoke: demo: update finished, button green"
    else
      fail "demo: no green button after the update"
    fi
    log=$(tr -d '\r\n' <"$folder/DLog.txt" 2>/dev/null)
    [ "$log" = PASS ] || fail "demo: DLog.txt holds '$log', wanted PASS"
  else
    fail "demo: the button never became yellow and enabled"
  fi
  finish
fi

# 3. Closing the demo while an update runs ends the program promptly: the
#    run is not waited for. (Wine itself takes a second or two to tear a
#    process down.)
if start "$build/app/KeyboardUpdateToolDemo.exe"; then
  if probe wait-enabled 60 >/dev/null && probe click >/dev/null && probe wait-disabled 10 >/dev/null; then
    echo "smoke: demo: closing during the update ($(probe state | cut -d' ' -f2))"
    t0=$SECONDS
    finish
    [ $((SECONDS - t0)) -le 8 ] || fail "demo: took $((SECONDS - t0)) s to end after its dialog closed"
  else
    fail "demo: could not start an update to close in the middle of"
    finish
  fi
fi

if [ $failed -eq 0 ]; then
  rm -rf "$work"
  echo "smoke: ok"
fi
exit $failed
