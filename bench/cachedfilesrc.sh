#!/bin/bash
# cachedfilesrc against filesrc on a 1 GiB file in the page cache, blocksize 4096 and 65536
# (goal: at most 1.3x filesrc's time copying out of the cache), then four pipelines in one process sharing the file
# (goal: about one pipeline's worth of disk reads, while they stay within the 8 MiB cache).
#   bench/cachedfilesrc.sh            RUNS=5 by default
set -eu
source "$(dirname "$0")/lib.sh"
bench_setup
runs=${RUNS:-5}
file=build/bench/cachedfilesrc-1g.bin
mkdir -p build/bench
if [ ! -f "$file" ]; then
  head -c 1073741824 /dev/urandom >"$file.tmp" && mv "$file.tmp" "$file"
fi
cat "$file" >/dev/null  # into the page cache
for bs in 4096 65536; do
  bench_pair "cachedfilesrc vs filesrc, 1 GiB, blocksize $bs" "$runs" \
    "gst-launch-1.0 -q cachedfilesrc location=$file blocksize=$bs ! fakesink" \
    "gst-launch-1.0 -q $PRELOAD filesrc location=$file blocksize=$bs ! fakesink" \
    "cachedfilesrc (1 GiB, blocksize $bs)" filesrc 1.3
done
# Free-running readers drift more than the 8 MiB cache apart; paced ones share it.
build/bench/cachedfilesrc-shared-bench "$file" 4 65536
build/bench/cachedfilesrc-shared-bench "$file" 4 65536 "identity sleep-time=200"
