#!/usr/bin/env bash
# The Windows packages from a Windows build: a zip (irisdesk.exe, vrx330ctl.exe, the
# Windows README and the licence, with Windows line ends) and an NSIS installer of the
# same four files. Usage: package-windows.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build-win}" && pwd)
out="$build/package"
rm -rf "$out"
mkdir -p "$out/IrisDesk"
cp "$build/irisdesk.exe" "$build/vrx330ctl.exe" "$out/IrisDesk/"
# README.md is the Linux one, with image links: the Windows download has its own text.
sed 's/$/\r/' "$here/res/README-Windows.txt" >"$out/IrisDesk/README-Windows.txt"
sed 's/$/\r/' "$here/LICENSE" >"$out/IrisDesk/LICENSE.txt"
(cd "$out" && zip -q -9 -r IrisDesk-1.0.0.1-win64.zip IrisDesk)
makensis -V2 -DEXE="$out/IrisDesk/irisdesk.exe" -DCTL="$out/IrisDesk/vrx330ctl.exe" \
  -DREADME="$out/IrisDesk/README-Windows.txt" -DLICENSE="$out/IrisDesk/LICENSE.txt" \
  -DOUTFILE="$out/IrisDesk-1.0.0.1-setup.exe" "$here/res/irisdesk.nsi"
ls -l "$out"/*.zip "$out"/*.exe

# Each package checked for what it holds: the zip's listing, and what the installer puts
# in place (run silently under Wine in a copy of the test prefix, where there is one)
# and its uninstaller takes away again.
expected=$'IrisDesk/LICENSE.txt\nIrisDesk/README-Windows.txt\nIrisDesk/irisdesk.exe\nIrisDesk/vrx330ctl.exe'
listed=$(zipinfo -1 "$out/IrisDesk-1.0.0.1-win64.zip" | grep -v '/$' | LC_ALL=C sort)
[ "$listed" = "$expected" ] || { printf 'FAIL: the zip holds\n%s\n' "$listed" >&2; exit 1; }
echo "zip: $(tr '\n' ' ' <<<"$listed")"
if [ ! -f "$build/wine/.irisdesk-ready" ]; then
  echo "installer not tried: no Wine prefix in $build (make test-windows makes one)"
  exit 0
fi
work=$(mktemp -d)
export WINEPREFIX="$work/wine"
trap 'timeout 20 wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
cp -a "$build/wine" "$WINEPREFIX"
wineserver -p5
timeout 120 "$here/tools/wine-run.sh" "$out/IrisDesk-1.0.0.1-setup.exe" /S
dir="$WINEPREFIX/drive_c/Program Files/IrisDesk"
installed=$(find "$dir" -mindepth 1 -printf '%f\n' | LC_ALL=C sort)
[ "$installed" = $'LICENSE.txt\nREADME-Windows.txt\nirisdesk.exe\nuninstall.exe\nvrx330ctl.exe' ] ||
  { printf 'FAIL: the installer put in place\n%s\n' "$installed" >&2; exit 1; }
for f in README-Windows.txt LICENSE.txt; do
  cmp -s "$dir/$f" "$out/IrisDesk/$f" || { echo "FAIL: the installed $f differs from the zip's" >&2; exit 1; }
done
echo "installed: $(tr '\n' ' ' <<<"$installed")"
timeout 60 "$here/tools/wine-run.sh" 'C:\Program Files\IrisDesk\uninstall.exe' /S
# The uninstaller runs on from a copy of itself: wait for the folder to go.
for _ in $(seq 100); do [ -d "$dir" ] || break; sleep 0.2; done
[ ! -d "$dir" ] || { echo "FAIL: the uninstaller left $(find "$dir" -mindepth 1 -printf '%f ')" >&2; exit 1; }
echo "uninstalled: the folder is gone"
