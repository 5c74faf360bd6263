#!/usr/bin/env bash
# The Wine prefix that the guest's Windows scenarios use
# (build/vm/wine-prefix): tools/wine/prefix.sh's 32-bit prefix, with the SDL
# bus of Wine's HID driver turned off (with it on, the hidraw bus never
# starts). The guest writes only to its overlay copy of it.
# It is made where 32-bit programs run: on the machine when its kernel runs
# them; otherwise this script says so and leaves it to the guest's first
# scenario (tools/vm/guest.d/00-wine-prefix.sh), which calls this script
# there with KBT_WINE_PREFIX_HERE=1.
#
# With KB_TEST_CACHE set (tools/test-env.sh) the prefix is kept there once
# made, by the 32-bit Wine packages' versions and the scripts that make it,
# and a fresh clone's is a copy: in the guest it takes minutes.
#   tools/vm/wine-prefix.sh          restores or makes it
#   tools/vm/wine-prefix.sh --keep   keeps the prefix made in the guest
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/wine/env.sh
export WINEPREFIX=$PWD/build/vm/wine-prefix KB_WINE_BITS=32
kb_wine_setup
cached=
if [ -n "${KB_TEST_CACHE:-}" ] && [ -z "${KBT_WINE_PREFIX_HERE:-}" ]; then
  key=$( (dpkg-query -W -f='${Package} ${Version}\n' wine32:i386 libwine:i386 2>/dev/null
    cat tools/wine/prefix.sh tools/vm/wine-prefix.sh) | sha256sum | cut -c1-16)
  cached=$KB_TEST_CACHE/wine/guest-win32-$key
fi
if [ "${1:-}" = --keep ]; then
  [ -n "$cached" ] && [ -f "$WINEPREFIX/.kb-guest-ready" ] && [ ! -f "$cached/.kb-guest-ready" ] ||
    exit 0
  mkdir -p "$(dirname "$cached")"
  rm -rf "$cached.part" && cp -a "$WINEPREFIX" "$cached.part" && rm -rf "$cached" &&
    mv "$cached.part" "$cached"
  exit
fi
[ -f "$WINEPREFIX/.kb-guest-ready" ] && exit 0
if [ -n "$cached" ] && [ -f "$cached/.kb-guest-ready" ]; then
  rm -rf "$WINEPREFIX" && mkdir -p "$(dirname "$WINEPREFIX")" && cp -a "$cached" "$WINEPREFIX" &&
    exit 0
  rm -rf "$WINEPREFIX"
fi
if [ -z "${KBT_WINE_PREFIX_HERE:-}" ] && ! kb_host_runs_32bit; then
  echo "wine-prefix: this machine runs no 32-bit programs; the guest makes the prefix"
  exit 0
fi

# A display before the first Wine call of the prefix (the guest scenario
# brings its own).
if [ -z "${KBT_WINE_PREFIX_HERE:-}" ]; then
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
fi

timeout $((600 * ${KB_WINE_SLOW:-1})) tools/wine/prefix.sh
reg=$(mktemp --suffix=.reg)
cat >"$reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\winebus]
"Enable SDL"=dword:00000000
REG
# Under software emulation on a busy machine each of these has taken over a
# minute; a failure says which step it was.
timeout $((300 * ${KB_WINE_SLOW:-1})) "$KB_WINE" regedit /S "$reg" >/dev/null 2>&1 ||
  { echo "wine-prefix: regedit failed or took too long (exit $?)" >&2; exit 1; }
rm -f "$reg"
timeout $((300 * ${KB_WINE_SLOW:-1})) wineserver -w ||
  { echo "wine-prefix: Wine did not end in time" >&2; exit 1; }
grep -q '"Enable SDL"=dword:00000000' "$WINEPREFIX/system.reg" ||
  { echo "wine-prefix: the SDL bus is still on" >&2; exit 1; }
touch "$WINEPREFIX/.kb-guest-ready"
[ -z "$cached" ] || "$0" --keep
