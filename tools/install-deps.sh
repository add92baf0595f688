#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the window need, only those
# missing. Fast when everything is there. Run as root (or with sudo available).
set -euo pipefail

# With arguments, those packages instead (the Windows build's set-up uses this).
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
  )
fi

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
