#!/usr/bin/env bash
# Runs one Windows program under Wine, bounded in time, in the project's own
# Wine prefix (build/wine by default; WINEPREFIX overrides it). Prepares the
# prefix on first use: wineboot, the fonts of fonts-wine, and "Courier New"
# mapped to Liberation Mono (Wine ships no Courier New of its own).
#   tools/wine/run.sh program.exe [args...]
# KB_WINE_TIMEOUT (seconds, default 120) bounds the run.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win32
# No Gecko/Mono installer prompts, no menu entries on the host.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}

"$here/prefix.sh" || exit 1
exec timeout --kill-after=10 "${KB_WINE_TIMEOUT:-120}" wine "$@"
