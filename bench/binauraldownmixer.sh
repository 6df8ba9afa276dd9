#!/bin/bash
# binauraldownmixer against FFmpeg's headphone filter (frequency domain) with the same 512-tap
# impulse responses on the same audio: 10 minutes of 48 kHz 5.1 F32LE, one core each.
# Goals: at least 500x real time, faster than ffmpeg.
set -eu
source "$(dirname "$0")/lib.sh"
bench_setup
runs=${RUNS:-3}
minutes=${MINUTES:-10}
taps=${TAPS:-512}
media=build/bench-media
mkdir -p "$media/binaural"
raw=$media/binaural-${minutes}min.f32
if [ ! -f "$raw" ]; then
  ffmpeg -nostdin -v error -y -f lavfi -i "anoisesrc=c=pink:a=0.2:r=48000:d=$((minutes * 60))" \
    -ac 6 -f f32le -c:a pcm_f32le "$raw"
fi
# 5.1 (FL FR FC LFE RL RR) speakers at 30, 330, 0, -, 120, 240 degrees.
build/bench/binaural-set "$media/binaural" "$taps" 48000 30 330 0 120 240
irs=""
for az in 30 330 0 0 120 240; do  # the LFE input is required by the filter but not used
  wav=$media/binaural/ir-$az.wav
  ffmpeg -nostdin -v error -y -f f32le -ar 48000 -ac 2 -i "$media/binaural/ir-$az.f32" \
    -c:a pcm_f32le "$wav"
  irs="$irs -i $wav"
done
hrtf=$(cat "$media/binaural/set.txt")
src="filesrc location=$raw blocksize=192000 ! rawaudioparse format=pcm pcm-format=f32le sample-rate=48000 num-channels=6"
ff_in="-f f32le -ar 48000 -ac 6 -i $raw"
ff_graph="[0:a][1:a][2:a][3:a][4:a][5:a][6:a]headphone=map=FL|FR|FC|LFE|BL|BR:type=freq[out]"
ours="gst-launch-1.0 -q $src ! binauraldownmixer hrtf='$hrtf' ! fakesink"
peer="ffmpeg -nostdin -v error -threads 1 -filter_threads 1 $ff_in $irs -filter_complex '$ff_graph' -map '[out]' -f null -"
bench_pair "source alone vs ffmpeg null" "$runs" \
  "taskset -c 0 gst-launch-1.0 -q $src ! fakesink" \
  "taskset -c 0 ffmpeg -nostdin -v error -threads 1 -filter_threads 1 $ff_in -f null -"
bench_pair "binauraldownmixer vs ffmpeg headphone type=freq (${minutes} min, $taps taps)" "$runs" \
  "taskset -c 0 $ours" "taskset -c 0 $peer" \
  "binauraldownmixer (${minutes} min 5.1, $taps taps)" "ffmpeg headphone" 1.0
# Real-time factor from CPU time (user + sys): wall time on a shared machine measures the load.
# The element's own figure leaves out the process start-up, the module's loading and the source.
cpu() { { /usr/bin/time -f "%U %S" taskset -c 0 bash -c "$1" >/dev/null; } 2>&1 | tail -1 | awk '{ print $1 + $2 }'; }
base=$(cpu "gst-launch-1.0 -q $PRELOAD $src ! fakesink")
ours_cpu=$(cpu "$ours")
peer_cpu=$(cpu "$peer")
python3 - "$minutes" "$base" "$ours_cpu" "$peer_cpu" <<'PY'
import sys
seconds = float(sys.argv[1]) * 60
base, ours, peer = map(float, sys.argv[2:])
own = ours - base
print(f"whole process: ours {ours:.2f} s CPU ({seconds / ours:.0f}x real time), "
      f"ffmpeg {peer:.2f} s CPU ({seconds / peer:.0f}x real time)")
print(f"source and start-up alone {base:.2f} s CPU; the element's own {own:.2f} s CPU "
      f"({seconds / own:.0f}x real time)")
print(f"RESULT|binauraldownmixer, speed (own CPU time)|real time|{own:.2f} s CPU|{seconds:.0f} s|"
      f"{seconds / own:.0f}x real time|>= 500x|{'yes' if seconds / own >= 500 else 'no'}")
PY
