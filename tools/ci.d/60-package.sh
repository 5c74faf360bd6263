#!/usr/bin/env bash
# The Debian package: built by CPack from the native build, checked by
# lintian, run from an unpacked tree, then installed with apt-get, used from
# PATH, purged, and checked to leave nothing of itself behind.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
# The native build of tools/test.sh: cpack builds what is missing first.
build=$root/build/native
out=$build/package
pkg=keyboard-update-tool

. tools/test-env.sh
kb_native_tree

echo "--- cpack -G DEB"
rm -rf "$out"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/${pkg}_*.deb)
echo "$deb"
dpkg-deb --info "$deb"
# libpq is opened at run time, unseen by dpkg-shlibdeps: named by hand.
dpkg-deb -f "$deb" Depends | grep -q '\blibpq5\b' || { echo "Depends lacks libpq5" >&2; exit 1; }
dpkg-deb --contents "$deb"

echo "--- lintian"
lintian --fail-on error --display-info --tag-display-limit 0 "$deb"
echo "lintian: no error"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "--- from an unpacked tree"
dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/kbupdate" --version
"$work/root/usr/bin/keyboard-update-tool" --version
mkdir "$work/run"
(cd "$work/run" && "$work/root/usr/bin/kbupdate" flash --simulate "$root/res/demo/firmware.hex" \
  2>/dev/null | tail -n 1)
[ "$(cat "$work/run/DLog.txt")" = $'PASS\r' ] || { echo "DLog.txt does not hold PASS" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  echo "--- SKIPPED: installing the package needs root"
  exit 0
fi

# Everything below /usr and /etc, and dpkg's own records, before and after.
snapshot() { find /usr /etc /var/lib/dpkg/info -xdev 2>/dev/null | LC_ALL=C sort; }
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -q -y -o DPkg::Lock::Timeout=300 "$@"; }

if dpkg-query -W "$pkg" >/dev/null 2>&1; then apt_get purge "$pkg" >/dev/null; fi
snapshot >"$work/before"
# A check that fails below leaves no installed package behind.
trap 'apt_get purge "$pkg" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

echo "--- apt-get install ./$(basename "$deb")"
cp "$deb" "$work/"
(cd "$work" && apt_get install "./$(basename "$deb")" | tail -n 3)
dpkg-query -L "$pkg" >"$work/files"

echo "--- installed"
[ "$(command -v kbupdate)" = /usr/bin/kbupdate ]
kbupdate --help | head -n 3
man -w kbupdate
man -w keyboard-update-tool
# bash-completion loads the completion on first use of the command name
# (its loader answers 124, "try again", once it has loaded one).
bash -c 'source /usr/share/bash-completion/bash_completion; _completion_loader kbupdate;
  complete -p kbupdate'
keyboard-update-tool --help >/dev/null
# "Open with" on a .hex file: the file type reaches the MIME database where
# shared-mime-info keeps one, and the desktop entry's type the desktop
# database where desktop-file-utils keeps one.
if [ -e /usr/share/mime/globs2 ]; then
  grep -x '[0-9]*:text/x-ihex:\*\.hex' /usr/share/mime/globs2
fi
if [ -e /usr/share/applications/mimeinfo.cache ]; then
  grep '^text/x-ihex=.*keyboard-update-tool.desktop' /usr/share/applications/mimeinfo.cache
fi

echo "--- apt-get purge $pkg"
apt_get purge "$pkg" | tail -n 2
if dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q installed; then
  echo "$pkg is still installed" >&2
  exit 1
fi
snapshot >"$work/after"

left=0
while IFS= read -r path; do
  # Directories that other packages share stay; our files must not.
  if [ -e "$path" ] && [ ! -d "$path" ]; then
    echo "left behind: $path" >&2
    left=1
  fi
done <"$work/files"
# New paths after install and purge: a dependency that apt pulled in owns
# its own; caches that triggers rebuild are the system's, but must not
# name the package any more.
while IFS= read -r path; do
  case "$path" in
    */icon-theme.cache | */mimeinfo.cache | /usr/share/mime/*)
      if grep -qs -e "$pkg" -e 'x-ihex' "$path"; then
        echo "still named in $path" >&2
        left=1
      fi
      ;;
    *)
      if ! dpkg-query -S "$path" >/dev/null 2>&1; then
        echo "left behind: $path" >&2
        left=1
      fi
      ;;
  esac
done < <(LC_ALL=C comm -13 "$work/before" "$work/after")
[ "$left" -eq 0 ] || exit 1
echo "purge: nothing of $pkg left"
