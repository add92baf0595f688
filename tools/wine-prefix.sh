#!/usr/bin/env bash
# Makes the private Wine prefix for the Windows tests once (about 15 s), then starts a
# Wine server that outlives each test by a minute, so a test does not pay for a new one.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build-win/wine}"
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.irisdesk-ready" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  timeout 180 wineboot -i >/dev/null 2>&1
  # No window manager here: do not wait for one at each window close. A crash ends the
  # program instead of opening a dialog nobody will close.
  cat >"$WINEPREFIX/irisdesk.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"Decorated"="Y"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
REG
  timeout 60 "$here/tools/wine-run.sh" regedit /S "$(winepath -w "$WINEPREFIX/irisdesk.reg" 2>/dev/null || echo 'Z:'"${WINEPREFIX//\//\\}"'\irisdesk.reg')" >/dev/null 2>&1
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  timeout 60 wineserver -w
  touch "$WINEPREFIX/.irisdesk-ready"
fi
wineserver -p60 || true  # fails when one from a run a moment ago is still up; that one serves
# Start Wine's own background services now, on no output anybody waits for: started by
# a test, they would hold its output open and ctest would wait for them to end.
timeout 60 "$here/tools/wine-run.sh" cmd /c exit </dev/null >/dev/null 2>&1 || true
