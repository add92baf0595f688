#!/usr/bin/env bash
# Installs the Debian packages the Windows build and its tests need, only those
# missing: the mingw-w64 cross compiler (its posix-thread variant, the only one with
# std::thread), Wine for the tests, a virtual display and xdotool for the GUI test,
# NSIS, zip and unzip (zipinfo checks the zip) for the packages. 64-bit Wine only: no
# i386 architecture is added.
# Run as root (or with sudo available). `make test` never runs this.
set -euo pipefail

exec "$(dirname "$0")/install-deps.sh" \
  cmake make libgtest-dev \
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
  wine wine64 fonts-wine \
  xvfb xauth x11-utils xdotool imagemagick \
  nsis zip unzip
