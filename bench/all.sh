#!/bin/bash
# Runs every benchmark of the project, one after the other, and writes a Markdown report: a
# summary table (element, peer, our time, the peer's, ratio, goal, met?) followed by each
# benchmark's own output.
#   bench/all.sh [OUTPUT.md]        default: bench/results.md
set -u
cd "$(dirname "$0")/.."
out=${1:-bench/results.md}
./scripts/install-deps.sh
[ -f build/build.ninja ] || meson setup build >/dev/null
ninja -C build >/dev/null

details=$(mktemp)
results=$(mktemp)
trap 'rm -f "$details" "$results"' EXIT

run() {
  local title=$1
  shift
  echo "== $title" >&2
  local output
  output=$(timeout 1800 "$@" 2>&1)
  grep '^RESULT|' <<<"$output" >>"$results"
  {
    printf '### %s\n\n`%s`\n\n```\n' "$title" "$*"
    grep -v '^RESULT|' <<<"$output" | tail -n 25
    printf '```\n\n'
  } >>"$details"
}

run "bufferskip vs identity" bench/bufferskip.sh
run "module load cost: bufferskip vs identity, whole process" bench/load-cost.sh
run "h264processor added to h264parse" bench/h264-processor.sh 2000 11
run "h264postprocessor vs h264parse, AVC to byte-stream" bench/h264-postprocessor-bench.sh 9
run "h265postprocessor added to h265parse" bench/h265-postprocessor-bench.sh 11
run "yv12converter vs videoconvert; vp9superframesplitter vs vp9parse" bench/run.sh
run "aactransform vs aacparse" bench/aac-transform-bench.sh
run "vc1parse2 throughput" bench/vc1-parse.sh 10000 20000
run "dynamicaudionormalizer vs ffmpeg dynaudnorm" bench/dynamicaudionormalizer.sh
run "binauraldownmixer vs ffmpeg headphone" bench/binauraldownmixer.sh
run "peak limiter and foundation (Google Benchmark)" bench/google-bench.sh
run "cachedfilesrc vs filesrc" bench/cachedfilesrc.sh

{
  printf '# Benchmarks\n\n'
  printf 'Measured %s with `bench/all.sh` on: %s, %s cores, %s GiB RAM, %s, GStreamer %s.\n\n' \
    "$(date -u '+%F %H:%M UTC')" \
    "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')" "$(nproc)" \
    "$(awk '/MemTotal/ { printf "%.0f", $2 / 1048576 }' /proc/meminfo)" \
    "$(. /etc/os-release && echo "$PRETTY_NAME")" \
    "$(pkg-config --modversion gstreamer-1.0)"
  cat <<'TEXT'
Ratio is our time / the peer's (lower is faster); "speed" rows give the real-time factor of the
element's own CPU time. Elements are timed in-process on pre-made buffers where the element's
work is small next to process start-up (the parsers and postprocessors); whole-process figures
(gst-launch-1.0, ffmpeg) load this module on both sides, so that its loading cost is not counted
against an element (the module load row measures that cost on its own). Each benchmark
alternates ours and the peer's runs and takes the median or the best, as its details say.

TEXT
  printf '| element | peer | our time | peer time | ratio | goal | met? |\n'
  printf '|---|---|---|---|---|---|---|\n'
  sed -e 's/^RESULT|//' -e 's/|/ | /g' -e 's/^/| /' -e 's/$/ |/' "$results"
  printf '\n## Details\n\n'
  cat "$details"
} >"$out"
echo "wrote $out" >&2
