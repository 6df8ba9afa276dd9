#!/bin/sh
# Installs the Debian 12 packages needed to build, test, benchmark and fuzz the plugin, or the
# packages named as arguments instead.
set -e
PKGS="meson ninja-build g++ pkg-config git
libglib2.0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
gstreamer1.0-plugins-ugly gstreamer1.0-libav
libgtest-dev libgmock-dev libbenchmark-dev libfmt-dev libmsgpack-cxx-dev libfftw3-dev
libavfilter-dev libavutil-dev libmysofa-dev libmysofa1 ffmpeg
clang libclang-rt-14-dev"
[ $# -gt 0 ] && PKGS="$*"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
