#!/bin/bash
# Seeds a fuzz corpus from the public conformance streams (../shared/media by default, or
# $BASE_PLUGINS_CORPUS), cut into the input layout of the target. Nothing is kept in the tree:
# the seeds go to the corpus directory that scripts/fuzz.sh runs on.
#   scripts/fuzz-seeds.sh TARGET DIR    TARGET: fuzz-h264-processor, fuzz-h264-sps-rewrite,
#                                       fuzz-vp9-superframe-index
set -eu
target=$1
out=$2
media=${BASE_PLUGINS_CORPUS:-$(cd "$(dirname "$0")/.." && pwd)/../shared/media}
[ -d "$media" ] || { echo "no media in $media: corpus not seeded" >&2; exit 0; }
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

case $target in
fuzz-vp9-superframe-index)
  # Every packet of a few files per group of vectors, as it leaves the demuxer.
  for f in "$media"/vp9/*; do
    name=$(basename "$f")
    case $f in *.ivf) demux=ivfparse ;; *) demux=matroskademux ;; esac
    timeout 20 gst-launch-1.0 -q filesrc location="$f" ! $demux ! \
      multifilesink location="$tmp/$name-%04d" max-files=24 >/dev/null 2>&1 || true
  done
  # Superframes first: they are what the target is about.
  python3 - "$tmp" "$out" <<'PY'
import os, sys, hashlib
src, out = sys.argv[1:]
for name in sorted(os.listdir(src)):
    data = open(os.path.join(src, name), 'rb').read()
    if not data or len(data) > 65536:
        continue
    if (data[-1] & 0xE0) != 0xC0 and not name.endswith('-0000'):
        continue
    open(os.path.join(out, hashlib.sha1(data).hexdigest()), 'wb').write(data)
PY
  ;;
fuzz-h264-processor | fuzz-h264-sps-rewrite)
  for f in "$media"/h264/*.mkv; do
    name=$(basename "$f")
    mkdir -p "$tmp/$name"
    # The access units as h264processor sees them, and the caps with the codec data.
    timeout 20 gst-launch-1.0 -v filesrc location="$f" ! matroskademux ! h264parse ! \
      video/x-h264,stream-format=avc,alignment=au ! \
      multifilesink location="$tmp/$name/au-%04d" max-files=12 2>/dev/null |
      grep -o 'codec_data=(buffer)[0-9a-f]*' | head -1 | cut -d')' -f2 >"$tmp/$name/codec-data"
  done
  python3 - "$target" "$tmp" "$out" <<'PY'
import os, sys, struct, hashlib
target, src, out = sys.argv[1:]
def save(data):
    open(os.path.join(out, hashlib.sha1(data).hexdigest()), 'wb').write(data)
for name in sorted(os.listdir(src)):
    d = os.path.join(src, name)
    cd = bytes.fromhex(open(os.path.join(d, 'codec-data')).read().strip() or '')
    names = sorted(f for f in os.listdir(d) if f.startswith('au-'))
    aus = [open(os.path.join(d, f), 'rb').read() for f in names]
    if target == 'fuzz-h264-sps-rewrite':
        # par_n, par_d (native int32) and the first SPS of the codec data.
        if len(cd) > 8 and cd[5] & 0x1F:
            n = struct.unpack('>H', cd[6:8])[0]
            for par in ((4, 3), (16, 11), (1, 1), (1000, 999)):
                save(struct.pack('=ii', *par) + cd[8:8 + n])
        continue
    # Flag byte, codec data, access units; each piece with a 16-bit big-endian length.
    for flags, first in ((0, 0), (5, 0), (0x10, 0), (0, 3)):
        seed = bytes([flags]) + struct.pack('>H', len(cd)) + cd
        for au in aus[first:]:
            if len(seed) + len(au) > 32768 or len(au) > 65535:
                break
            seed += struct.pack('>H', len(au)) + au
        save(seed)
PY
  ;;
*) echo "no seeds for $target" >&2 ;;
esac
echo "$(ls "$out" | wc -l) inputs in $out"
