#!/usr/bin/env bash
# The Windows packages from a Windows build: a zip (irisdesk.exe, vrx330ctl.exe and the
# README, with Windows line ends) and an NSIS installer. Usage: package-windows.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build-win}" && pwd)
out="$build/package"
rm -rf "$out"
mkdir -p "$out/IrisDesk"
cp "$build/irisdesk.exe" "$build/vrx330ctl.exe" "$out/IrisDesk/"
sed 's/$/\r/' "$here/README.md" >"$out/IrisDesk/README.txt"
(cd "$out" && zip -q -9 -r IrisDesk-1.0.0.1-win64.zip IrisDesk)
makensis -V2 -DEXE="$out/IrisDesk/irisdesk.exe" -DCTL="$out/IrisDesk/vrx330ctl.exe" \
  -DREADME="$out/IrisDesk/README.txt" -DOUTFILE="$out/IrisDesk-1.0.0.1-setup.exe" "$here/res/irisdesk.nsi"
ls -l "$out"/*.zip "$out"/*.exe
