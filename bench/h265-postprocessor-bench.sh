#!/bin/bash
# h265parse ! h265postprocessor against h265parse alone on the same hvc1 stream, in one run.
#   bench/h265-postprocessor-bench.sh [RUNS]
# Prints the best wall time of each pipeline, the time of the demuxer alone, and what the
# postprocessor adds to the parser's own time (goal: at most 25%).
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
source="filesrc location=$input ! qtdemux"

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
parse=$(best "$source ! h265parse ! fakesink sync=false")
ours=$(best "$source ! h265parse ! h265postprocessor ! fakesink sync=false")
echo "input: $(du -h "$input" | cut -f1), 3000 frames 320x180 of noise at 2 Mbit/s, best of $runs runs"
echo "demuxer only:                  ${base} ms"
echo "h265parse:                     ${parse} ms"
echo "h265parse ! h265postprocessor: ${ours} ms"
awk -v b="$base" -v p="$parse" -v o="$ours" 'BEGIN {
  printf "postprocessor time / parser time: %.2f (%d ms / %d ms)\n", (o - p) / (p - b), o - p, p - b }'
