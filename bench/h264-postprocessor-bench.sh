#!/bin/bash
# AVC -> byte-stream conversion: h264postprocessor (queue on) against the stock h264parse
# doing the same conversion, on the same demuxed input in the same run.
#   bench/h264-postprocessor-bench.sh [RUNS]
# Prints the best wall time of each pipeline, the time of the shared upstream part alone, and
# the ratio of the two elements' own times (goal: <= 1.0).
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
source="filesrc location=$input ! qtdemux ! h264parse"
sink="video/x-h264,stream-format=byte-stream ! fakesink sync=false"

best() {
  local best_ms=
  for _ in $(seq "$runs"); do
    local start end ms
    start=$(date +%s%N)
    gst-launch-1.0 -q $1 >/dev/null
    end=$(date +%s%N)
    ms=$(((end - start) / 1000000))
    if [ -z "$best_ms" ] || [ "$ms" -lt "$best_ms" ]; then best_ms=$ms; fi
  done
  echo "$best_ms"
}

base=$(best "$source ! fakesink sync=false")
ours=$(best "$source ! h264postprocessor ! $sink")
stock=$(best "$source ! h264parse ! $sink")
echo "input: $(du -h "$input" | cut -f1), 750 frames 1280x720 of noise at 8 Mbit/s, best of $runs runs"
echo "upstream only:              ${base} ms"
echo "h264postprocessor:          ${ours} ms"
echo "h264parse (to byte-stream): ${stock} ms"
awk -v b="$base" -v o="$ours" -v s="$stock" 'BEGIN {
  printf "own time ratio h264postprocessor / h264parse: %.2f (%d ms / %d ms)\n",
         (o - b) / (s - b), o - b, s - b }'
