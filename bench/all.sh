#!/bin/bash
# Runs every benchmark of the project, one after the other, and writes their reports (our time,
# the peer's, the ratio, as each benchmark prints them) into a Markdown file.
#   bench/all.sh [OUTPUT.md]        default: bench/results.md
set -u
cd "$(dirname "$0")/.."
out=${1:-bench/results.md}
./scripts/install-deps.sh
[ -f build/build.ninja ] || meson setup build >/dev/null
ninja -C build >/dev/null
ninja -C build bench/foundation-bench bench/bench-peak-limiter >/dev/null

run() {
  local title=$1
  shift
  echo "== $title" >&2
  {
    printf '## %s\n\n`%s`\n\n```\n' "$title" "$*"
    timeout 900 "$@" 2>&1 | tail -n 25
    printf '```\n\n'
  } >>"$out"
}

{
  printf '# Benchmarks\n\nMeasured %s on: %s, %s cores, %s.\n\n' "$(date -u +%F)" \
    "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')" "$(nproc)" \
    "$(. /etc/os-release && echo "$PRETTY_NAME")"
} >"$out"
run "bufferskip vs identity (goal <= 1.1)" bench/bufferskip.sh
run "h264processor added to h264parse (goal <= +25 %)" bench/h264-processor.sh 2000 11
run "h264postprocessor vs h264parse to byte-stream (goal <= 1.0)" bench/h264-postprocessor-bench.sh 5
run "h265postprocessor added to h265parse (goal <= +25 %)" bench/h265-postprocessor-bench.sh 5
run "yv12converter vs videoconvert (goal <= 0.5); vp9superframesplitter vs vp9parse (goal <= 1.0)" bench/run.sh
run "aactransform vs aacparse" bench/aac-transform-bench.sh
run "vc1parse2 throughput" bench/vc1-parse.sh 10000 20000
run "dynamicaudionormalizer vs ffmpeg dynaudnorm (goal <= 1.2, >= 500x real time)" bench/dynamicaudionormalizer.sh
run "binauraldownmixer vs ffmpeg headphone (goal faster, >= 500x real time)" bench/binauraldownmixer.sh
run "peak limiter (goal >= 20 M stereo frames/s)" build/bench/bench-peak-limiter
run "foundation" build/bench/foundation-bench --benchmark_min_time=0.2
run "cachedfilesrc vs filesrc (goal <= 1.0 with shared blocks)" bench/cachedfilesrc.sh
echo "wrote $out" >&2
