#!/usr/bin/env bash
# Creates a Wine prefix once: 32-bit, or 64-bit with KB_WINE_BITS=64
# (tools/wine/env.sh says which prefix). Several callers may start at the
# same moment (ctest -j): a lock lets one of them build it. With
# KB_TEST_CACHE set (tools/test-env.sh) a prefix made once is kept there,
# by Wine's version and this script's text, and a fresh clone's prefix is a
# copy of it: wineboot takes a minute and more. KB_WINE_SLOW multiplies the
# time-outs below (software emulation on a busy machine).
set -uo pipefail
. "$(dirname "$0")/env.sh"
kb_wine_setup
[ -f "$WINEPREFIX/.kb-ready-2" ] && exit 0
cached=
if [ -n "${KB_TEST_CACHE:-}" ]; then
  key=$( ("$KB_WINE" --version 2>/dev/null; echo "$WINEARCH"; cat "$0") | sha256sum | cut -c1-16)
  cached=$KB_TEST_CACHE/wine/$WINEARCH-$key
fi

mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
slow=${KB_WINE_SLOW:-1}
flock -w $((300 * slow)) 9 || { echo "wine prefix: lock timeout" >&2; exit 1; }
[ -f "$WINEPREFIX/.kb-ready-2" ] && exit 0

if [ -n "$cached" ] && [ -f "$cached/.kb-ready-2" ]; then
  rm -rf "$WINEPREFIX" && cp -a "$cached" "$WINEPREFIX" && exit 0
  echo "wine prefix: the cached prefix $cached could not be copied; making one" >&2
  rm -rf "$WINEPREFIX"
fi

echo "wine prefix: preparing $WINEPREFIX" >&2
out=$(timeout $((300 * slow)) "$KB_WINE" wineboot --init 2>&1) || {
  echo "wine prefix: wineboot failed ($WINEARCH): $(tail -n 3 <<<"$out")" >&2
  exit 1
}
timeout $((60 * slow)) wineserver -w

fonts="$WINEPREFIX/drive_c/windows/Fonts"
mkdir -p "$fonts"
[ -d /usr/share/wine/fonts ] && cp -n /usr/share/wine/fonts/* "$fonts/" 2>/dev/null
mono=/usr/share/fonts/truetype/liberation/LiberationMono-Regular.ttf
sans=/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf
[ -f "$mono" ] && cp "$mono" "$fonts/cour.ttf"
[ -f "$sans" ] && cp "$sans" "$fonts/arial.ttf"
reg=$(mktemp --suffix=.reg)
cat >"$reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"Courier New"="Liberation Mono"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

; Xvfb runs no window manager: unmanaged windows spare every hidden or
; destroyed window a 2-second wait for a withdrawal that never comes.
[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
REG
timeout $((60 * slow)) "$KB_WINE" regedit /S "$reg" >/dev/null 2>&1
rm -f "$reg"
timeout $((60 * slow)) wineserver -w
touch "$WINEPREFIX/.kb-ready-2"
if [ -n "$cached" ]; then
  mkdir -p "$(dirname "$cached")"
  rm -rf "$cached.part" && cp -a "$WINEPREFIX" "$cached.part" && rm -rf "$cached" &&
    mv "$cached.part" "$cached" || echo "wine prefix: not kept in $cached" >&2
fi
