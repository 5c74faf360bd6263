#!/usr/bin/env bash
# The Windows build: cross-compiled with mingw-w64 into build/win32, the
# portable test suites and the Win32 layer's own tests run under Wine through
# ctest, the compiled resources checked against the template, and a smoke
# test of the program and its demo under Xvfb, and the release zip (CPack).
# Every Wine call is bounded by a timeout (tools/wine/run.sh); one Wine
# prefix (build/wine) is reused.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
jobs=${JOBS:-2}
build=$root/build/win32
export WINEPREFIX=$root/build/wine
export WINEDEBUG=-all

# A display before the first Wine call of the prefix; a free number of our own.
display=
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:$display
cleanup() {
  timeout 20 wineserver -k >/dev/null 2>&1
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
  fi
}

configure_and_build() {
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$build" -j "$jobs"
}
step "windows build" configure_and_build || true
[ $status -eq 0 ] || exit 1

step "wine prefix" timeout 600 tools/wine/prefix.sh
[ $status -eq 0 ] || exit 1
# One wineserver for every run below: a Wine start then costs a fraction of
# a second instead of a server start each time.
timeout 10 wineserver -p >/dev/null 2>&1
# The first program of a session starts Wine's own services; ctest lists each
# test program's cases with a short time-out, so that start happens here.
KB_WINE_TIMEOUT=120 tools/wine/run.sh "$build/tests/win32/win32_tests.exe" --gtest_list_tests >/dev/null

# The release zip: the two programs, README.txt and the licence in one
# folder; its kbupdate.exe runs from the unpacked folder.
release_zip() {
  rm -f "$build"/KeyboardUpdateTool-*-win32.zip
  (cd "$build" && cpack -G ZIP >/dev/null) || return 1
  local zip names unpacked
  zip=$(ls "$build"/KeyboardUpdateTool-*-win32.zip) || return 1
  echo "$zip"
  cmake -E tar tvf "$zip" || return 1
  names=$(cmake -E tar tf "$zip" | grep -v '/$' | sed 's#^[^/]*/##' | LC_ALL=C sort | tr '\n' ' ')
  if [ "$names" != "KeyboardUpdateTool.exe LICENSE.txt README.txt kbupdate.exe " ]; then
    echo "unexpected files in the zip: $names" >&2
    return 1
  fi
  unpacked=$(mktemp -d)
  (cd "$unpacked" && cmake -E tar xf "$zip") || return 1
  tools/wine/run.sh "$unpacked"/KeyboardUpdateTool-*-win32/kbupdate.exe --version
  local rc=$?
  rm -rf "$unpacked"
  return $rc
}

step "resources" tools/wine/check_resources.sh "$build/app/KeyboardUpdateTool.exe"
step "release zip" release_zip
step "tests under wine" bash -c "cd '$build' && ctest --output-on-failure -j '$jobs' --timeout 300"
step "smoke test" tools/wine/smoke.sh "$build"
exit $status
