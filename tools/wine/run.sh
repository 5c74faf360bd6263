#!/usr/bin/env bash
# Runs one Windows program under Wine, bounded in time: 32- or 64-bit Wine
# by the program's own header, in the project's prefix for that kind
# (build/wine or build/wine64; WINEPREFIX overrides it). Prepares the prefix
# on first use (tools/wine/prefix.sh).
#   tools/wine/run.sh program.exe [args...]
# KB_WINE_TIMEOUT (seconds, default 120) bounds the run.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/env.sh"
if [ -z "${KB_WINE_BITS:-}" ]; then
  KB_WINE_BITS=$(kb_wine_bits_of "$1") || { echo "run.sh: $1 is no Windows program" >&2; exit 1; }
fi
kb_wine_setup
export KB_WINE_BITS
"$here/prefix.sh" || exit 1
exec timeout --kill-after=10 "${KB_WINE_TIMEOUT:-120}" "$KB_WINE" "$@"
