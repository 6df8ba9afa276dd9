#!/bin/bash
# h265parse ! h265postprocessor against h265parse alone on the same hvc1 stream, in one run.
#   bench/h265-postprocessor-bench.sh [RUNS]
# Makes an x265 clip once, then times the pipelines in-process on its access units repeated
# 20 times (bench/h265-postprocessor-bench.cpp): what the postprocessor adds to the parser's
# own time (goal: at most 25%).
set -eu
cd "$(dirname "$0")/.."
runs=${1:-5}
[ -f build/build.ninja ] || meson setup build >/dev/null
ninja -C build >/dev/null
export GST_PLUGIN_PATH=$PWD/build/transcoding-plugins
export GST_REGISTRY=$PWD/build/bench-registry.bin
mkdir -p build/bench
input=build/bench/h265-320x180-noise.mp4
if [ ! -f "$input" ]; then
  gst-launch-1.0 -q videotestsrc num-buffers=3000 pattern=snow ! \
    video/x-raw,format=I420,width=320,height=180,framerate=25/1 ! \
    x265enc speed-preset=ultrafast bitrate=2000 key-int-max=50 option-string=bframes=3 ! \
    h265parse ! mp4mux ! filesink location="$input.tmp"
  mv "$input.tmp" "$input"
fi

ninja -C build bench/h265-postprocessor-bench >/dev/null
GST_PLUGIN_PATH= build/bench/h265-postprocessor-bench "$input" 20 "$runs"
