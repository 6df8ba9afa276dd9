#!/bin/bash
# AVC -> byte-stream conversion: h264postprocessor (queue on) against the stock h264parse
# doing the same conversion, on the same demuxed input in the same run.
#   bench/h264-postprocessor-bench.sh [RUNS]
# Makes a 720p x264 clip once, then times both in-process on its demuxed access units
# (bench/h264-postprocessor-bench.cpp), so that loading the plugins is not counted: the ratio
# of the two elements' own times (goal: <= 1.0).
set -eu
cd "$(dirname "$0")/.."
runs=${1:-3}
[ -f build/build.ninja ] || meson setup build >/dev/null
ninja -C build >/dev/null
export GST_PLUGIN_PATH=$PWD/build/transcoding-plugins
export GST_REGISTRY=$PWD/build/bench-registry.bin
mkdir -p build/bench
input=build/bench/h264-720p-noise.mp4
if [ ! -f "$input" ]; then
  gst-launch-1.0 -q videotestsrc num-buffers=750 pattern=snow ! \
    video/x-raw,format=I420,width=1280,height=720,framerate=25/1 ! \
    x264enc bframes=2 key-int-max=50 speed-preset=ultrafast bitrate=8000 ! h264parse ! \
    mp4mux ! filesink location="$input.tmp"
  mv "$input.tmp" "$input"
fi
ninja -C build bench/h264-postprocessor-bench >/dev/null
GST_PLUGIN_PATH= build/bench/h264-postprocessor-bench "$input" 4 "$runs"
