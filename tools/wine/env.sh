# Sourced by the Wine scripts: picks 32- or 64-bit Wine and the project's
# prefix for it. Set KB_WINE_BITS (32 or 64) before sourcing, or call
# kb_wine_bits_of PROGRAM.EXE. Debian's /usr/bin/wine always prefers the
# 32-bit loader when it is installed, even on a kernel that cannot run it,
# so the 64-bit loader is called by its own path.
#   KB_WINE      the loader to call ("$KB_WINE" program.exe args...)
#   WINEPREFIX   build/wine (32-bit) or build/wine64 (64-bit) unless set
#   WINEARCH     win32 or win64
kb_wine_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# kb_wine_bits_of FILE: 32 or 64, from the machine field of the PE header.
kb_wine_bits_of() {
  local off machine
  off=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ') || return 1
  [ -n "$off" ] || return 1
  machine=$(od -An -t x2 -j $((off + 4)) -N 2 "$1" 2>/dev/null | tr -d ' ' | sed 's/^0*//')
  case $machine in
    14c) echo 32 ;;
    8664) echo 64 ;;
    *) return 1 ;;
  esac
}

kb_wine_setup() {
  case ${KB_WINE_BITS:-32} in
    64)
      export WINEARCH=win64
      export WINEPREFIX=${WINEPREFIX:-$kb_wine_root/build/wine64}
      KB_WINE=/usr/lib/wine/wine64
      export WINELOADER=$KB_WINE
      ;;
    *)
      export WINEARCH=win32
      export WINEPREFIX=${WINEPREFIX:-$kb_wine_root/build/wine}
      KB_WINE=/usr/lib/wine/wine
      ;;
  esac
  export WINEDEBUG=${WINEDEBUG:--all}
  # No Gecko/Mono installer prompts, no menu entries on the host.
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=}
}

# kb_host_runs_32bit: whether this kernel runs 32-bit programs, found by
# running one (the 32-bit Wine loader) once.
kb_host_runs_32bit() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}
