#!/bin/sh
# Runs a Windows program under Wine, quietly, in the Windows build's private prefix
# (set up by tools/wine-prefix.sh). ctest uses it to run the Windows tests.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build-win/wine}"
# A western-European ANSI code page, which the 8-bit device name in the tests is in.
export LC_ALL=en_US.UTF-8
export WINEARCH=win64 WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
if [ -x /usr/lib/wine/wine64 ]; then exec /usr/lib/wine/wine64 "$@"; fi
exec wine "$@"
