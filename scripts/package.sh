#!/bin/bash
# Builds the Debian package from this working tree (committed or not) without its tests:
#   scripts/package.sh            -> dist/gstreamer1.0-zorvel-base-plugins_<version>_<arch>.deb
# OUT_DIR changes where it goes. Installs the build dependencies with apt-get as needed; the
# package itself is never installed here (scripts/check-package.sh does that, and removes it).
set -eu
cd "$(dirname "$0")/.."
root=$PWD
out=${OUT_DIR:-$root/dist}
package=gstreamer1.0-zorvel-base-plugins

"$root/scripts/install-deps.sh" debhelper dpkg-dev git

# Build from a copy of the tracked and new files, so that build directories and earlier
# packaging runs never end up in the package.
stage=$out/stage
rm -rf "$stage"
mkdir -p "$stage/base-plugins"
git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$stage/base-plugins"
if ! dpkg-checkbuilddeps "$stage/base-plugins/debian/control" 2>/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get build-dep -y -qq "$stage/base-plugins" >/dev/null
fi

# Two cores are shared with everything else on the machine.
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-"parallel=2 nocheck"}
if command -v ccache >/dev/null; then
  export CC="ccache gcc" CXX="ccache g++"
fi
(cd "$stage/base-plugins" && nice dpkg-buildpackage -b -us -uc >"$stage/build.log" 2>&1) || {
  tail -40 "$stage/build.log"
  exit 1
}
rm -f "$out/${package}_"*.deb
mv "$stage/${package}_"*.deb "$out/"
rm -rf "$stage/base-plugins"  # the build log stays in $stage
ls "$out/${package}_"*.deb
