#!/usr/bin/env bash
# Checks the resources compiled into a Windows program against the template
# they must match (res/win32/resources.expected): the program is decompiled
# with windres and summarised (language of each resource, the dialog, the
# icon group's images, the version record, the manifest). The live window
# styles under Wine are no measure of the template; the compiled bytes are.
#   tools/wine/check_resources.sh program.exe [expected]
set -euo pipefail
exe=$1
expected=${2:-$(dirname "$0")/../../res/win32/resources.expected}
windres=${WINDRES:-i686-w64-mingw32-windres}

summary() {
  "$windres" -J coff -O rc -i "$1" | awk '
    /^LANGUAGE / { lang = $0; next }
    # Resource headers: "<name> <type>" at the start of a line.
    /^[0-9A-Za-z_]+ (DIALOGEX|VERSIONINFO|[0-9]+ \/\*)/ {
      if ($0 ~ /RT_ICON/) { icons++; next }
      print "[" lang "] " $0
      block = 1
      next
    }
    block && /^END/ { print; block = 0; print ""; next }
    block && /Element no/ {
      # Keep size, colours, planes, bits and index; the byte count depends
      # on the pictures.
      line = $0
      sub(/0x[0-9a-fA-F]+L, /, "", line)
      print line
      next
    }
    block { print }
    END { print "icon images: " icons }
  '
}

if [ "${UPDATE:-0}" = 1 ]; then
  summary "$exe" >"$expected"
  echo "written: $expected"
  exit 0
fi
if diff -u "$expected" <(summary "$exe"); then
  echo "resources of $(basename "$exe") match the template"
else
  echo "resources of $(basename "$exe") differ from the template (see above)" >&2
  exit 1
fi
