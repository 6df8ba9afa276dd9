#!/bin/bash
# The Google Benchmark programs: the peak limiter's stereo throughput (goal: at least 20 million
# frames per second on one core) and the foundation's lock against std::mutex.
#   bench/google-bench.sh
set -eu
cd "$(dirname "$0")/.."
[ -f build/build.ninja ] || meson setup build >/dev/null
ninja -C build bench/bench-peak-limiter bench/foundation-bench >/dev/null
mkdir -p build/bench
taskset -c 0 build/bench/bench-peak-limiter --benchmark_out=build/bench/peak-limiter.json \
  --benchmark_out_format=json 2>&1 | grep -E '^(BM_|Benchmark)'
build/bench/foundation-bench --benchmark_min_time=0.2 --benchmark_out=build/bench/foundation.json \
  --benchmark_out_format=json 2>&1 | grep -E '^(BM_|Benchmark)'
python3 - <<'PY'
import json
limiter = json.load(open("build/bench/peak-limiter.json"))["benchmarks"]
slowest = min(limiter, key=lambda b: b["frames/s"])
rate = slowest["frames/s"] / 1e6
print(f"RESULT|audio::PeakLimiter, stereo (slowest case {slowest['name'].split('/', 1)[1]})|-|"
      f"{rate:.1f} M frames/s|-|-|>= 20 M frames/s|{'yes' if rate >= 20 else 'no'}")
found = {b["name"]: b for b in json.load(open("build/bench/foundation.json"))["benchmarks"]}
ours = found["BM_LockBase/threads:2"]["cpu_time"]
peer = found["BM_StdMutex/threads:2"]["cpu_time"]
print(f"RESULT|fn::LockBase lock + unlock, 2 threads|std::mutex|{ours:.1f} ns CPU|{peer:.1f} ns CPU|"
      f"{ours / peer:.3f}|none named|-")
PY
