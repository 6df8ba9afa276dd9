#!/bin/bash
# Installs the package that scripts/package.sh built, checks it as a system plugin (a fresh
# registry, no GST_PLUGIN_PATH), runs lintian on it and removes it again, whatever happened.
#   scripts/check-package.sh [PACKAGE.deb]
set -u
cd "$(dirname "$0")/.."
package=gstreamer1.0-zorvel-base-plugins
deb=${1:-$(ls dist/${package}_*.deb 2>/dev/null | tail -1)}
[ -f "$deb" ] || { echo "no package: run scripts/package.sh first" >&2; exit 2; }
deb=$(realpath "$deb")

export DEBIAN_FRONTEND=noninteractive
work=$(mktemp -d)
cleanup() {
  apt-get remove -y -qq "$package" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

failed=0
check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    echo "ok    $name"
  else
    echo "FAIL  $name"
    sed 's/^/      /' "$work/out" | tail -20
    failed=$((failed + 1))
  fi
}

apt-get install -y -qq "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }

unset GST_PLUGIN_PATH GST_PLUGIN_PATH_1_0 BASE_PLUGINS_NORMALIZER_LIBRARY
export GST_REGISTRY=$work/registry.bin GST_REGISTRY_1_0=$work/registry.bin
plugin_dir=$(pkg-config --variable=pluginsdir gstreamer-1.0 2>/dev/null ||
             echo /usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/gstreamer-1.0)

factories() {
  local n
  n=$(gst-inspect-1.0 base_plugins | sed -n 's/^ *\([0-9]*\) features:$/\1/p')
  echo "base_plugins features: ${n:-none}"
  [ "$n" = 22 ]
}
from_system_dir() {
  local file
  file=$(gst-inspect-1.0 base_plugins | sed -n 's/^ *Filename *//p')
  echo "loaded from: ${file:-nowhere}"
  [ "$(realpath "$file")" = "$(realpath "$plugin_dir/libgstbase_plugins.so")" ]
}
normalizer_runs() {
  gst-launch-1.0 -q audiotestsrc num-buffers=100 volume=0.05 ! audio/x-raw,format=F32LE ! \
    dynamicaudionormalizer frame-length=100 filter-size=3 ! fakesink
}
no_avfilter_in_plugin() {
  ! ldd "$plugin_dir/libgstbase_plugins.so" | grep -E 'libav(filter|util)'
}
check "gst-inspect-1.0 base_plugins lists 22 factories" factories
check "the module loads from $plugin_dir" from_system_dir
check "a dynamicaudionormalizer pipeline runs" normalizer_runs
check "the plugin links no libavfilter/libavutil" no_avfilter_in_plugin
check "sofa-to-hrtf is on the PATH" sh -c 'command -v sofa-to-hrtf'

if command -v lintian >/dev/null || apt-get install -y -qq lintian >/dev/null 2>&1; then
  echo "lintian:"
  lintian -I "$deb" 2>&1 | grep -v 'root privileges' | sed 's/^/      /'
fi
[ "$failed" -eq 0 ] && echo "package checks passed" || echo "$failed package checks failed"
[ "$failed" -eq 0 ]
