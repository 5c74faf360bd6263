#!/usr/bin/env bash
# The Windows builds: cross-compiled with mingw-w64 for 32-bit Windows (the
# release, build/win32) and for x86-64 (build/win64). For each: the compiled
# resources checked against the template, the release zip (CPack), every
# portable test suite and the Win32 layer's own tests under Wine
# (tools/wine/suites.sh: each test program whole; `ctest` in the build runs
# them case by case), a smoke test of the program and its demo under Xvfb,
# and the station window's demo through its pictures.
# The 64-bit build runs under 64-bit Wine here. The 32-bit build runs here
# when this machine's kernel runs 32-bit programs (found by running one);
# otherwise tools/ci.d/42-guest-windows.sh runs it in the real-kernel guest
# (Debian's kernel runs them). Once the 32-bit build and its zip are there,
# build/win32/.kb-built says so (tools/test.sh starts that guest then).
# Every Wine call is bounded by a timeout (tools/wine/run.sh); one prefix
# per kind (build/wine, build/wine64), restored from the machine's cache
# where an earlier run made it (tools/wine/prefix.sh).
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
. tools/test-env.sh
. tools/wine/env.sh
export WINEDEBUG=-all

# A display before the first Wine call of a prefix; a free number of our own.
display=
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:$display
cleanup() {
  for p in "$root/build/wine" "$root/build/wine64"; do
    [ -d "$p" ] && WINEPREFIX=$p timeout 20 wineserver -k >/dev/null 2>&1
  done
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
}
trap cleanup EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

status=0
step() {  # step NAME COMMAND...
  local name=$1; shift
  local t0=$SECONDS
  if "$@"; then
    echo "--- ok    $name ($((SECONDS - t0)) s)"
  else
    echo "--- FAIL  $name ($((SECONDS - t0)) s)"
    status=1
    return 1
  fi
}

build_dir() { echo "$root/build/win$1"; }  # build_dir 32|64

configure_and_build() { kb_windows_tree "$1"; }  # 32|64

# The resources of the 64-bit program differ from the release's only in the
# manifest's processor architecture.
resources() {  # resources 32|64
  local exe expected
  exe=$(build_dir "$1")/app/KeyboardUpdateTool.exe
  if [ "$1" = 32 ]; then
    WINDRES=i686-w64-mingw32-windres tools/wine/check_resources.sh "$exe"
  else
    expected=$(mktemp)
    sed 's/processorArchitecture=""x86""/processorArchitecture=""amd64""/' \
      res/win32/resources.expected >"$expected"
    WINDRES=x86_64-w64-mingw32-windres tools/wine/check_resources.sh "$exe" "$expected"
    local rc=$?
    rm -f "$expected"
    return $rc
  fi
}

# The release zip: the update window, the station window, kbupdate,
# README.txt and the licence in one folder. It is unpacked into BUILD/zip-check, where its kbupdate.exe is run
# (here or in the guest).
release_zip() {  # release_zip 32|64
  local build zip names
  build=$(build_dir "$1")
  rm -f "$build"/KeyboardUpdateTool-*-win"$1".zip
  (cd "$build" && cpack -G ZIP >/dev/null) || return 1
  zip=$(ls "$build"/KeyboardUpdateTool-*-win"$1".zip) || return 1
  echo "$zip"
  cmake -E tar tvf "$zip" || return 1
  names=$(cmake -E tar tf "$zip" | grep -v '/$' | sed 's#^[^/]*/##' | LC_ALL=C sort | tr '\n' ' ')
  if [ "$names" != "KeyboardUpdateStation.exe KeyboardUpdateTool.exe LICENSE.txt README.txt kbupdate.exe " ]; then
    echo "unexpected files in the zip: $names" >&2
    return 1
  fi
  rm -rf "$build/zip-check" && mkdir -p "$build/zip-check"
  (cd "$build/zip-check" && cmake -E tar xf "$zip")
}

# Everything that runs the programs, on this machine's Wine of that kind.
wine_prefix() { KB_WINE_BITS=$1 timeout 600 tools/wine/prefix.sh; }
unpacked_version() {  # unpacked_version 32|64
  tools/wine/run.sh "$(build_dir "$1")"/zip-check/KeyboardUpdateTool-*/kbupdate.exe --version
}
suites() {  # suites 32|64
  local build
  build=$(build_dir "$1")
  # One wineserver for every run below: a Wine start then costs a fraction
  # of a second instead of a server start each time. The first program of a
  # session starts Wine's own services, so that start happens here.
  (KB_WINE_BITS=$1 && kb_wine_setup && timeout 10 wineserver -p >/dev/null 2>&1)
  KB_WINE_TIMEOUT=120 tools/wine/run.sh "$build/tests/win32/win32_tests.exe" --gtest_list_tests >/dev/null
  tools/wine/suites.sh "$build"
}
# The station window's demo through its three pictures (kept in a folder
# that goes; tools/wine/station-screenshots.sh alone makes docs/'s).
station_window() {  # station_window 32|64
  local shots rc
  shots=$(mktemp -d)
  tools/wine/station-screenshots.sh "$(build_dir "$1")" "$shots"
  rc=$?
  rm -rf "$shots"
  return $rc
}
on_host() {  # on_host 32|64
  step "wine prefix (win$1)" wine_prefix "$1" || return
  step "release zip's kbupdate.exe (win$1)" unpacked_version "$1"
  step "tests under wine (win$1)" suites "$1"
  step "smoke test (win$1)" tools/wine/smoke.sh "$(build_dir "$1")"
  step "station window demo (win$1)" station_window "$1"
}

host32=0
if kb_host_runs_32bit; then
  host32=1
  echo "this machine runs 32-bit programs: both builds run under Wine here"
else
  echo "this machine runs no 32-bit programs (the 32-bit Wine loader fails to start):" \
    "the 64-bit build runs under Wine here, the 32-bit build in the real-kernel guest" \
    "(tools/ci.d/42-guest-windows.sh)"
fi

rm -f "$(build_dir 32)/.kb-built"
step "windows build (win32)" configure_and_build 32 &&
  step "resources (win32)" resources 32 &&
  step "release zip (win32)" release_zip 32 &&
  touch "$(build_dir 32)/.kb-built"
step "windows build (win64)" configure_and_build 64 &&
  step "resources (win64)" resources 64 &&
  step "release zip (win64)" release_zip 64 &&
  on_host 64
[ $host32 = 1 ] && [ -e "$(build_dir 32)/.kb-built" ] && on_host 32
exit $status
