#!/bin/bash
# dynamicaudionormalizer against the ffmpeg CLI running dynaudnorm with the same parameters on
# the same audio: 10 minutes of 48 kHz stereo F32LE, 20 ms buffers, one core each.
# Goals: at most 1.2x ffmpeg's time, at least 500x real time.
set -eu
source "$(dirname "$0")/lib.sh"
bench_setup
runs=${RUNS:-3}
minutes=${MINUTES:-10}
media=build/bench-media
mkdir -p "$media"
raw=$media/dan-${minutes}min.f32
wav=$media/dan-${minutes}min.wav
if [ ! -f "$wav" ]; then
  # A tone whose level wanders by 20 dB, so that the gain keeps moving.
  ffmpeg -nostdin -v error -y -f lavfi \
    -i "aevalsrc=0.05*(1.1+sin(2*PI*t/17))*sin(2*PI*440*t)|0.05*(1.1+sin(2*PI*t/13))*sin(2*PI*550*t):s=48000:d=$((minutes * 60))" \
    -c:a pcm_f32le "$wav"
  ffmpeg -nostdin -v error -y -i "$wav" -f f32le -c:a pcm_f32le "$raw"
fi
params="frame-length=500 filter-size=31 peak-value=0.95 max-amplification=10"
ff_params="f=500:g=31:p=0.95:m=10"
src="filesrc location=$raw ! rawaudioparse format=pcm pcm-format=f32le sample-rate=48000 num-channels=2 ! audiobuffersplit output-buffer-duration=1/50"
# The same source without the normaliser, to separate the element's cost from the source's.
bench_pair "source alone vs ffmpeg null" "$runs" \
  "taskset -c 0 gst-launch-1.0 -q $src ! fakesink" \
  "taskset -c 0 ffmpeg -nostdin -v error -threads 1 -filter_threads 1 -i $wav -f null -"
bench_pair "dynamicaudionormalizer vs ffmpeg dynaudnorm (${minutes} min)" "$runs" \
  "taskset -c 0 gst-launch-1.0 -q $src ! dynamicaudionormalizer $params ! fakesink" \
  "taskset -c 0 ffmpeg -nostdin -v error -threads 1 -filter_threads 1 -i $wav -af dynaudnorm=$ff_params -f null -" \
  "dynamicaudionormalizer (${minutes} min 48 kHz stereo)" "ffmpeg dynaudnorm" 1.2
# Real-time factor from CPU time (user + sys): wall time on a shared machine measures the load.
# The element's own figure leaves out the process start-up, the module's loading and the source.
cpu() { { /usr/bin/time -f "%U %S" taskset -c 0 "$@" >/dev/null; } 2>&1 | tail -1 | awk '{ print $1 + $2 }'; }
base=$(cpu gst-launch-1.0 -q $PRELOAD $src ! fakesink)
ours=$(cpu gst-launch-1.0 -q $src ! dynamicaudionormalizer $params ! fakesink)
ffmpeg=$(cpu ffmpeg -nostdin -v error -threads 1 -filter_threads 1 -i $wav -af dynaudnorm=$ff_params -f null -)
python3 - "$minutes" "$base" "$ours" "$ffmpeg" <<'PY'
import sys
seconds = float(sys.argv[1]) * 60
base, ours, ffmpeg = map(float, sys.argv[2:])
own = ours - base
print(f"whole process: ours {ours:.2f} s CPU ({seconds / ours:.0f}x real time), "
      f"ffmpeg {ffmpeg:.2f} s CPU ({seconds / ffmpeg:.0f}x real time)")
print(f"source and start-up alone {base:.2f} s CPU; the element's own {own:.2f} s CPU "
      f"({seconds / own:.0f}x real time)")
print(f"RESULT|dynamicaudionormalizer, speed (own CPU time)|real time|{own:.2f} s CPU|{seconds:.0f} s|"
      f"{seconds / own:.0f}x real time|>= 500x|{'yes' if seconds / own >= 500 else 'no'}")
PY
