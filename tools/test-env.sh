# Sourced by tools/test.sh and the steps of tools/ci.d/: what every build and
# check of the test command shares.
#
# Caches on the machine, outside the clone, so that a fresh clone (CI runs
# in one) finds what an earlier run made: compiled objects (ccache, Debian's),
# Wine prefixes, the guest's kernel and udev packages. KB_TEST_CACHE names
# the folder: /var/cache/kbupdate-tests for root, else
# ~/.cache/kbupdate-tests. The compiler cache is capped at KB_CCACHE_SIZE
# (default 4G); ccache drops the oldest objects beyond it.
#
# The test command's own builds treat warnings as errors (KB_WERROR=ON); a
# user's build does not.
kb_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -z "${KB_TEST_CACHE:-}" ]; then
  if [ "$(id -u)" = 0 ]; then
    KB_TEST_CACHE=/var/cache/kbupdate-tests
  else
    KB_TEST_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/kbupdate-tests
  fi
fi
export KB_TEST_CACHE
mkdir -p "$KB_TEST_CACHE"

if command -v ccache >/dev/null; then
  export CCACHE_DIR=$KB_TEST_CACHE/ccache
  export CCACHE_MAXSIZE=${KB_CCACHE_SIZE:-4G}
  # Paths below the clone hash as relative ones, and the build folder's own
  # path not at all (it only names the debug information's folder), so that
  # another clone in another folder hits what this one compiled.
  export CCACHE_BASEDIR=$kb_root
  export CCACHE_NOHASHDIR=true
  # CMake takes these for every build folder it configures the first time,
  # the Windows cross builds and tools/run-demo.sh's included.
  export CMAKE_C_COMPILER_LAUNCHER=ccache
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
# tools/run-demo.sh builds with the test command's warnings too, so that its
# objects are the native tree's.
export KB_WERROR=ON

# Set by tools/test.sh once it has built the trees named (native, win32,
# win64): a step then neither configures nor builds them again, which it
# must not while another step of the same run uses them.
KB_TREES_BUILT=${KB_TREES_BUILT:-}

kb_built() { [[ " $KB_TREES_BUILT " == *" $1 "* ]]; }

# kb_native_tree [TARGET...]: the native tree (build/native, Release, every
# target unless targets are named), configured and built where the test
# command has not built it already.
kb_native_tree() {
  kb_built native && return 0
  cmake -S "$kb_root" -B "$kb_root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKB_WERROR=ON >/dev/null || return 1
  if [ $# -gt 0 ]; then
    timeout 1800 cmake --build "$kb_root/build/native" -j "${JOBS:-2}" --target "$@"
  else
    timeout 1800 cmake --build "$kb_root/build/native" -j "${JOBS:-2}"
  fi
}

# kb_windows_tree 32|64 [TARGET...]: build/win32 (the release) or
# build/win64, cross-compiled with mingw-w64, likewise.
kb_windows_tree() {
  local bits=$1 toolchain=mingw-i686
  shift
  kb_built "win$bits" && return 0
  [ "$bits" = 64 ] && toolchain=mingw-x86_64
  cmake -S "$kb_root" -B "$kb_root/build/win$bits" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$kb_root/cmake/$toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DKB_WERROR=ON >/dev/null || return 1
  if [ $# -gt 0 ]; then
    timeout 1800 cmake --build "$kb_root/build/win$bits" -j "${JOBS:-2}" --target "$@"
  else
    timeout 1800 cmake --build "$kb_root/build/win$bits" -j "${JOBS:-2}"
  fi
}
