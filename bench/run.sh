#!/bin/bash
# Builds and runs the benchmarks in build/bench (one core is enough; numbers are medians).
#   bench/run.sh
set -eu
cd "$(dirname "$0")/.."
[ -f build/build.ninja ] || meson setup build >/dev/null
ninja -C build -j1 bench/yv12-converter-bench bench/vp9-superframe-splitter-bench >/dev/null
export GST_REGISTRY=build/bench/registry.bin GST_PLUGIN_PATH=

build/bench/yv12-converter-bench 60 5 1920 1080

# A two-pass libvpx encode with alt-ref frames, so that the stream holds superframes.
clip=build/bench/vp9-superframes-320x240.webm
if [ ! -f "$clip" ]; then
  args="-v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 250 -pix_fmt yuv420p
        -c:v libvpx-vp9 -b:v 400k -deadline good -cpu-used 4 -auto-alt-ref 1 -lag-in-frames 25
        -threads 1 -passlogfile $clip.pass"
  ffmpeg $args -pass 1 -f null - && ffmpeg $args -pass 2 -f webm "$clip.tmp" && mv "$clip.tmp" "$clip"
  rm -f "$clip".pass*
fi
build/bench/vp9-superframe-splitter-bench "$clip" 40 5
