#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the window need, only those
# missing. Fast when everything is there. Run as root (or with sudo available).
set -euo pipefail

# --package: the Debian package build's tools too, then its Build-Depends (debian/control)
# where any is missing. With other arguments, those packages instead (the Windows build's
# set-up uses this).
debian_build=0
if [ "${1:-}" = --package ]; then
  debian_build=1
  shift
fi
if [ $# -gt 0 ]; then
  packages=("$@")
else
  packages=(
    build-essential cmake pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libgl-dev fonts-dejavu-core locales
    clang libclang-rt-dev
    xvfb xauth imagemagick librsvg2-bin
    help2man dpkg-dev file desktop-file-utils appstream
    udev umockdev
    python3-pyvisa python3-pyvisa-py
  )
  [ $debian_build = 0 ] || packages+=(debhelper lintian)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
top=$(cd "$(dirname "$0")/.." && pwd)
build_deps_met() { [ $debian_build = 0 ] || (cd "$top" && dpkg-checkbuilddeps 2>/dev/null); }
[ ${#missing[@]} -eq 0 ] && build_deps_met && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then sudo="sudo"; else
    echo "Not root and no sudo: install these packages first: ${missing[*]}" >&2
    [ $debian_build = 0 ] || echo "and the Build-Depends that 'dpkg-checkbuilddeps' names" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if ! build_deps_met; then
  echo "Installing the Build-Depends of debian/control"
  (cd "$top" && $sudo apt-get build-dep -y -qq --no-install-recommends ./ >/dev/null)
fi
