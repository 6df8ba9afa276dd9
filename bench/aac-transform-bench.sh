#!/bin/bash
# aactransform against the stock aacparse, converting the same framed ADTS stream (60 s of
# stereo AAC from avenc_aac) to raw AAC in one run.
#   bench/aac-transform-bench.sh [PASSES]
# Needs a plain build in build/ (scripts/test.sh makes one).
set -eu
cd "$(dirname "$0")/.."
out=build/bench
mkdir -p "$out"
export GST_PLUGIN_PATH="$PWD/build/transcoding-plugins" GST_REGISTRY="$PWD/$out/registry.bin"
g++ -O2 -std=c++20 -o "$out/aac-transform-bench" bench/aac-transform-bench.cpp \
  $(pkg-config --cflags --libs gstreamer-check-1.0 gstreamer-1.0)
adts="$out/bench-60s.aac"
if [ ! -s "$adts" ]; then
  gst-launch-1.0 -q audiotestsrc num-buffers=2813 samplesperbuffer=1024 ! \
    audio/x-raw,format=F32LE,rate=48000,channels=2 ! avenc_aac ! aacparse ! \
    audio/mpeg,stream-format=adts ! filesink location="$adts"
fi
"$out/aac-transform-bench" "$adts" "${1:-20}"
