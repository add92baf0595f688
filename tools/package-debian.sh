#!/usr/bin/env bash
# The Debian packages irisdesk and vrx330ctl (debian/), built by dpkg-buildpackage and
# then checked by lintian, which fails the run on any error or warning. Results in dist/:
# irisdesk_<version>_<arch>.deb, vrx330ctl_<version>_<arch>.deb, their -dbgsym
# packages, the .changes and the .buildinfo.
#
#   tools/package-debian.sh [JOBS]      (make package; uncommitted changes are packaged)
#
# dpkg-buildpackage writes beside the source tree, so it builds a copy of the tree in
# dist/ (what git tracks or would add; without git, all but the build trees), leaving
# the tree and the folder holding it as they are. The copy is removed after a build
# that passed, kept after one that failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=${1:-auto}
dist="$top/dist"

"$top/tools/install-deps.sh" --package

version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
src="$dist/irisdesk-${version%-*}"

rm -rf "$dist"
mkdir -p "$src"
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
  # A file deleted but not yet committed is still listed: skipped, not an error.
  git -C "$top" ls-files -z --cached --others --exclude-standard |
    tar -C "$top" --null -T - --ignore-failed-read --warning=no-failed-read -cf - |
    tar -C "$src" -xf -
else # an unpacked source tarball
  tar -C "$top" --exclude='./build*' --exclude=./dist --exclude=./fuzz-out -cf - . | tar -C "$src" -xf -
fi

(cd "$src" && dpkg-buildpackage -us -uc -b -J"$jobs")
rm -rf "$src"

changes="$dist/irisdesk_${version}_${arch}.changes"
echo "lintian -I --pedantic $(basename "$changes"):"
# Informational and pedantic tags are shown; errors and warnings fail. lintian warns
# when run as root, so root runs it as nobody where nobody may read the results.
lint=(lintian)
if [ "$(id -u)" -eq 0 ] && runuser -u nobody -- test -r "$changes" 2>/dev/null; then
  lint=(runuser -u nobody -- lintian)
fi
"${lint[@]}" -I --pedantic --fail-on error,warning "$changes"
echo "lintian: no errors or warnings"
echo "Packages:"
ls "$dist"/irisdesk_*.deb "$dist"/vrx330ctl_*.deb
