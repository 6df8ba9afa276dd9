#!/bin/bash
# Builds and runs the h264processor throughput benchmark against the plugin in build/.
#   bench/h264-processor.sh [FRAMES] [ROUNDS]
set -eu
cd "$(dirname "$0")/.."
ninja -C build >/dev/null
mkdir -p build/bench
g++ -O2 -std=c++20 -o build/bench/h264-processor-bench bench/h264-processor-bench.cpp \
  $(pkg-config --cflags --libs gstreamer-check-1.0)
GST_PLUGIN_PATH="$PWD/build/transcoding-plugins" GST_REGISTRY="$PWD/build/bench/registry.bin" \
  build/bench/h264-processor-bench "$@"
