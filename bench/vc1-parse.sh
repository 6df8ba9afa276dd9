#!/bin/bash
# Throughput of vc1parse2 on a synthetic advanced-profile stream (sequence header, entry point,
# GOPs of 12 frames of FRAME_BYTES random bytes each) read from a file in BLOCKSIZE blocks
# (64 KiB), next to the same pipeline with identity for the cost of reading. (The stock
# vc1parse cannot cut this raw stream into frames: it has no bdu to bdu-frame conversion.)
#   bench/vc1-parse.sh [FRAMES] [FRAME_BYTES] [BLOCKSIZE]
set -eu
cd "$(dirname "$0")/.."
frames=${1:-3000}
frame_bytes=${2:-20000}
blocksize=${3:-65536}
ninja -C build >/dev/null
stream=$(mktemp --suffix=.vc1)
trap 'rm -f "$stream"' EXIT
python3 - "$stream" "$frames" "$frame_bytes" <<'PY'
import random, sys
path, frames, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
seq = bytes.fromhex("0000010fcbfe01f01f0a01f807e80848")   # 64x64, 25 fps
ep = bytes.fromhex("0000010e400080")
rng = random.Random(1)
# Payload bytes with the top bit set never form a start code.
payload = bytes(0x80 | rng.randrange(128) for _ in range(size))
with open(path, "wb") as f:
    for i in range(frames):
        if i % 12 == 0:
            f.write(seq + ep + b"\x00\x00\x01\x0d\xc5" + payload)   # I
        else:
            f.write(b"\x00\x00\x01\x0d\x2a" + payload)              # P
PY
mb=$(( $(stat -c %s "$stream") / 1000000 ))
run() {
  local parser=$1
  local start end
  start=$(date +%s.%N)
  # Both load the module, so that its start-up cost is on both sides.
  GST_PLUGIN_PATH=build/transcoding-plugins gst-launch-1.0 -q \
    --gst-plugin-load=build/transcoding-plugins/libgstbase_plugins.so filesrc location="$stream" \
    blocksize=$blocksize ! capsfilter caps="video/x-wmv,wmvversion=3,format=WVC1" ! $parser ! \
    fakesink sync=false
  end=$(date +%s.%N)
  python3 -c "import sys; t=$end-$start; print(f'$parser: {t:.3f} s, {$mb/t:.0f} MB/s')"
}
echo "$frames frames of $frame_bytes bytes ($mb MB)"
peer=$(run identity)
ours=$(run vc1parse2)
echo "$peer"
echo "$ours"
python3 - "$peer" "$ours" "$mb" <<'PY'
import sys
peer, ours = (float(a.split()[1]) for a in sys.argv[1:3])
print(f"RESULT|vc1parse2 ({sys.argv[3]} MB, whole process)|identity (reading only)|{ours:.3f} s|"
      f"{peer:.3f} s|{ours / peer:.3f}|none named|-")
PY
