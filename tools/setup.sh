#!/usr/bin/env bash
# Installs what building and testing need on Debian 12.
#   tools/setup.sh core   compiler, CMake, GoogleTest, CLI11, nlohmann-json, libpq and
#                         libuuid (enough for kbupdate), and the PostgreSQL server
#                         that the station's database test starts for itself
#   tools/setup.sh all    also ccache, Qt 6, clang sanitizers/fuzzing, mingw-w64,
#                         Wine, Xvfb, QEMU and the guest tools, and what the
#                         packages need (help2man, lintian, man-db, the
#                         bash-completion helpers, a font with the dialog's
#                         full-width "！", the libraries of the udev
#                         daemon that the guest unpacks)
# Does nothing when everything is already there.
set -euo pipefail

set_name=${1:-core}
core=(build-essential cmake ninja-build pkg-config git libgtest-dev libgmock-dev googletest
      libcli11-dev nlohmann-json3-dev
      libbenchmark-dev libudev-dev binutils libssl-dev libpq-dev uuid-dev postgresql)
all=("${core[@]}" ccache clang libclang-rt-14-dev qt6-base-dev libgl-dev xvfb xauth x11-apps
     imagemagick qemu-system-x86 busybox-static cpio fonts-liberation fonts-dejavu-core
     g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
     g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
     wine wine32:i386 wine64 fonts-wine valgrind
     help2man lintian man-db file bash-completion fonts-wqy-microhei
     libkmod2 libacl1 libcap2 libblkid1 libselinux1)

case "$set_name" in
  core) want=("${core[@]}") ;;
  all) want=("${all[@]}") ;;
  *) echo "usage: $0 core|all" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run this as root (or install them with sudo apt-get install ...)." >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
for p in "${missing[@]}"; do
  case "$p" in *:i386) dpkg --add-architecture i386 ;; esac
done
echo "Installing: ${missing[*]}"
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
