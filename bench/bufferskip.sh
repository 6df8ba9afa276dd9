#!/bin/bash
# Per-buffer cost of bufferskip against identity: 2M timestamped 64-byte buffers in a TIME
# segment. Goal: at most 1.1x identity's time.
set -eu
source "$(dirname "$0")/lib.sh"
bench_setup
runs=${RUNS:-5}
src="fakesrc format=time datarate=6400000 num-buffers=2000000 sizetype=fixed sizemax=64 filltype=nothing"
bench_pair "bufferskip (all off) vs identity" "$runs" \
  "gst-launch-1.0 -q $src ! bufferskip ! fakesink" \
  "gst-launch-1.0 -q $PRELOAD $src ! identity ! fakesink" \
  "bufferskip (all off)" identity 1.1
bench_pair "bufferskip clip+monotone vs identity" "$runs" \
  "gst-launch-1.0 -q $src ! bufferskip clip=true force-monotone-timestamps=true ! fakesink" \
  "gst-launch-1.0 -q $PRELOAD $src ! identity ! fakesink" \
  "bufferskip (clip, force-monotone)" identity 1.1
