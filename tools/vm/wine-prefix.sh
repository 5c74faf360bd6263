#!/usr/bin/env bash
# Prepares, on the machine, the Wine prefix that the guest's Windows
# scenarios use (build/vm/wine-prefix): tools/wine/prefix.sh's prefix, with
# the SDL bus of Wine's HID driver turned off (with it on, the hidraw bus
# never starts). The guest writes only to its overlay copy of it.
set -euo pipefail
cd "$(dirname "$0")/../.."
export WINEPREFIX=$PWD/build/vm/wine-prefix WINEDEBUG=-all WINEARCH=win32
[ -f "$WINEPREFIX/.kb-guest-ready" ] && exit 0

# A display before the first Wine call of the prefix.
display=
for n in $(seq 121 150); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "wine-prefix: no free X display number" >&2; exit 1; }
Xvfb ":$display" -screen 0 640x480x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:$display
# Under errexit a failing command in the trap would become the script's
# status: a wineserver that has already ended is no failure.
trap 'timeout 20 wineserver -k >/dev/null 2>&1 || true; kill $xvfb 2>/dev/null || true
      wait $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

timeout 600 tools/wine/prefix.sh
reg=$(mktemp --suffix=.reg)
cat >"$reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\winebus]
"Enable SDL"=dword:00000000
REG
timeout 60 wine regedit /S "$reg" >/dev/null 2>&1
rm -f "$reg"
timeout 60 wineserver -w
grep -q '"Enable SDL"=dword:00000000' "$WINEPREFIX/system.reg" ||
  { echo "wine-prefix: the SDL bus is still on" >&2; exit 1; }
touch "$WINEPREFIX/.kb-guest-ready"
