#!/usr/bin/env bash
# Installs the Debian packages the Windows build and its tests need, only those
# missing: the mingw-w64 cross compiler (its posix-thread variant, the only one with
# std::thread), Wine for the tests, a virtual display and xdotool for the GUI test,
# NSIS and zip for the packages. 64-bit Wine only: no i386 architecture is added.
# Run as root (or with sudo available). `make test` never runs this.
set -euo pipefail

packages=(
  cmake make libgtest-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 fonts-wine
  xvfb xauth x11-utils xdotool imagemagick
  nsis zip
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then sudo="sudo"; else
    echo "Not root and no sudo: install these packages first: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
