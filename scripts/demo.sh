#!/bin/bash
# The plugin's main job on a real clip: makes H.264 + AAC in MP4 with stock encoders, runs it
# through the plugin on its way into a muxer, and shows what changed.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
[ -f build/build.ninja ] || meson setup build >/dev/null
ninja -C build >/dev/null

out=out/demo
mkdir -p "$out"
export GST_PLUGIN_PATH="$PWD/build/transcoding-plugins"
export GST_REGISTRY="$PWD/build/demo-registry.bin"

echo "== making input: $out/input.mp4 (H.264 with B-frames + AAC, 3 s)"
gst-launch-1.0 -q \
  videotestsrc num-buffers=75 pattern=ball ! \
  video/x-raw,format=I420,width=320,height=240,framerate=25/1 ! \
  x264enc key-int-max=25 bframes=2 speed-preset=veryfast ! h264parse ! mp4mux name=mux ! \
  filesink location="$out/input.mp4" \
  audiotestsrc num-buffers=141 samplesperbuffer=1024 ! \
  audio/x-raw,format=F32LE,rate=48000,channels=2 ! avenc_aac ! aacparse ! mux.

echo "== remuxing (read through cachedfilesrc) through bufferskip: 0.5 s delay on both, video pixel-aspect-ratio 4/3, first 10 AAC frames skipped"
gst-launch-1.0 -q cachedfilesrc location="$out/input.mp4" ! qtdemux name=demux \
  matroskamux name=mux ! filesink location="$out/output.mkv" \
  demux.video_0 ! queue ! h264parse ! \
    bufferskip delay=500000000 reset-segment-stop=true pixel-aspect-ratio-override=4/3 ! \
    h264parse ! mux. \
  demux.audio_0 ! queue ! aacparse ! \
    bufferskip amount=10 delay=500000000 reset-segment-stop=true ! mux.

probe() {
  ffprobe -v error -show_entries \
    stream=index,codec_name,width,height,sample_aspect_ratio,nb_read_packets,start_time \
    -count_packets -of compact=p=0:nk=0 "$1"
}
printf '\n%-10s %s\n' "input:" "$out/input.mp4"
probe "$out/input.mp4" | sed 's/^/  /'
printf '%-10s %s\n' "output:" "$out/output.mkv"
probe "$out/output.mkv" | sed 's/^/  /'

first_pts() {
  ffprobe -v error -select_streams "$2" -show_entries packet=pts_time -of csv=p=0 "$1" | \
    grep -v '^$' | sort -g | head -1
}
echo
printf '%-28s %-12s %-12s\n' "" "input" "output"
printf '%-28s %-12s %-12s\n' "first video PTS (s)" "$(first_pts "$out/input.mp4" v:0)" \
  "$(first_pts "$out/output.mkv" v:0)"
printf '%-28s %-12s %-12s\n' "first audio PTS (s)" "$(first_pts "$out/input.mp4" a:0)" \
  "$(first_pts "$out/output.mkv" a:0)"
echo
echo "outputs are in $out/"
