#!/bin/bash
# The plugin's main job on real clips made with stock encoders: remuxes H.264 + AAC (MP4), MPEG-2
# + MP2 (program stream) and 5.1 audio through the plugin's elements into muxers, the way the
# service does, and reports what each output looks like. Outputs stay in out/demo/.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
[ -f build/build.ninja ] || meson setup build >/dev/null
ninja -C build >/dev/null

out=out/demo
mkdir -p "$out"
export GST_PLUGIN_PATH="$PWD/build/transcoding-plugins"
export BASE_PLUGINS_NORMALIZER_LIBRARY="$PWD/build/dynamic-audio-normalizer/libdynamic-audio-normalizer.so"
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

# The typical road: cachedfilesrc, stock demuxers, the parse bins and fixers, bufferskip on every
# branch, remuxed to MPEG-TS and MP4; 5.1 audio as a headphone version and a normalised one.
echo
echo "== the typical road"
gst-launch-1.0 -q videotestsrc num-buffers=50 pattern=ball ! \
  video/x-raw,format=I420,width=352,height=288,framerate=25/1 ! \
  mpeg2enc format=3 b-per-refframe=2 ! filesink location="$out/mpeg2.m2v"
ffmpeg -v error -y -fflags +genpts -i "$out/mpeg2.m2v" -f lavfi -i sine=frequency=440:duration=2 \
  -c:v copy -c:a mp2 -b:a 192k -f vob "$out/input-mpeg2.mpg"
gst-launch-1.0 -q audiotestsrc num-buffers=150 samplesperbuffer=960 wave=pink-noise volume=0.5 ! \
  "audio/x-raw,format=F32LE,rate=48000,channels=6,channel-mask=(bitmask)0x3f" ! wavenc ! \
  filesink location="$out/input-5.1.wav"

for mux in "mpegtsmux:road-h264.ts" "mp4mux:road-h264.mp4"; do
  gst-launch-1.0 -q cachedfilesrc location="$out/input.mp4" ! qtdemux name=demux \
    ${mux%%:*} name=mux ! filesink location="$out/${mux#*:}" \
    demux.video_0 ! queue ! h264parsebin ! bufferskip pixel-aspect-ratio-override=4/3 ! \
      h264postprocessor ! mux. \
    demux.audio_0 ! queue ! aacparse ! aactransform ! bufferskip ! mux.
done
gst-launch-1.0 -q cachedfilesrc location="$out/input-mpeg2.mpg" ! mpegpsdemux name=demux \
  mpegtsmux name=mux ! filesink location="$out/road-mpeg2.ts" \
  demux.video_e0 ! queue ! mpegparsebin ! bufferskip ! mux. \
  demux.audio_c0 ! queue ! mpegaudioparse ! bufferskip ! mux.
gst-launch-1.0 -q cachedfilesrc location="$out/input-5.1.wav" ! wavparse ! audioconvert ! \
  audio/x-raw,format=F32LE ! binauraldownmixer ! audioconvert ! avenc_aac ! aacparse ! \
  aactransform ! bufferskip ! mp4mux ! filesink location="$out/road-headphones.m4a"
gst-launch-1.0 -q cachedfilesrc location="$out/input-5.1.wav" ! wavparse ! audioconvert ! \
  audio/x-raw,format=F32LE ! dynamicaudionormalizer ! audioconvert ! wavenc ! \
  filesink location="$out/road-normalised.wav"

# streams, SAR, packet count, duration; DTS strictly increasing and never above PTS; clean decode
report() {
  local file=$1
  printf '%s\n' "$file"
  ffprobe -v error -count_packets -show_entries \
    stream=index,codec_name,channels,width,height,sample_aspect_ratio,nb_read_packets:format=duration \
    -of compact=p=0:nk=0 "$file" | grep -v '^$' | awk '!seen[$0]++' | sed 's/^/  /'
  for s in $(ffprobe -v error -show_entries stream=index -of csv=p=0 "$file" | cut -d, -f1 |
             grep -v '^$' | sort -un); do
    ffprobe -v error -select_streams "$s" -show_entries packet=pts_time,dts_time -of csv=p=0 \
      "$file" | python3 -c '
import sys
rows = [l.strip().split(",") for l in sys.stdin if l.strip()]
dts = [float(r[1]) for r in rows if len(r) > 1 and r[1] not in ("", "N/A")]
pts = [float(r[0]) for r in rows if r[0] not in ("", "N/A")]
ok_inc = all(b > a for a, b in zip(dts, dts[1:]))
ok_le = all(float(r[1]) <= float(r[0]) + 1e-6 for r in rows
            if len(r) > 1 and r[0] not in ("", "N/A") and r[1] not in ("", "N/A"))
print("  stream %s: %d packets, DTS increasing: %s, DTS <= PTS: %s" % (
    sys.argv[1], len(rows), "yes" if ok_inc else "NO", "yes" if ok_le else "NO"))
' "$s"
  done
  if ffmpeg -v error -xerror -i "$file" -f null - 2>/dev/null; then
    echo "  decodes cleanly: yes"
  else
    echo "  decodes cleanly: NO"
  fi
}
for f in road-h264.ts road-h264.mp4 road-mpeg2.ts road-headphones.m4a road-normalised.wav; do
  report "$out/$f"
done
echo
echo "outputs are in $out/"
