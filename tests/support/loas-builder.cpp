#include "tests/support/loas-builder.h"

#include <gst/base/gstbitwriter.h>

namespace testsupport {

std::vector<guint8>
build_loas_frame(const LoasFrame &f)
{
  GstBitWriter bw;
  gst_bit_writer_init(&bw);
  auto put = [&bw](guint32 v, int n) { gst_bit_writer_put_bits_uint32(&bw, v, n); };
  put(0x2B7, 11);
  put(0, 13);  // audioMuxLengthBytes, patched below
  put(f.use_same_stream_mux, 1);
  if (!f.use_same_stream_mux) {
    put(f.audio_mux_version, 1);
    if (f.audio_mux_version) put(f.audio_mux_version_a, 1);
    if (f.audio_mux_version && !f.audio_mux_version_a) put(0, 2);
    if (!f.audio_mux_version) {
      put(1, 1);  // allStreamsSameTimeFraming
      put(0, 6);  // numSubFrames
      put(f.num_program, 4);
      put(f.num_layer, 3);
      for (const auto &[value, bits] : f.asc) put(value, bits);
      put(f.frame_length_type, 3);
      switch (f.frame_length_type) {
        case 0: put(0xFF, 8); break;
        case 1: put(f.frame_length, 9); break;
        case 3:
        case 4:
        case 5: put(0, 6); break;
        case 6:
        case 7: put(0, 1); break;
        default: break;
      }
      put(f.other_data, 1);
      if (f.other_data) {
        put(1, 1), put(0x12, 8);  // two otherDataLen bytes
        put(0, 1), put(0x34, 8);
      }
      put(f.crc, 1);
      if (f.crc) put(0xA5, 8);
    }
  }
  if (!f.audio_mux_version_a) {
    if (f.frame_length_type == 0) {
      gsize left = f.payload.size();
      while (left >= 255) put(255, 8), left -= 255;
      put(left, 8);
    } else if (f.frame_length_type == 3 || f.frame_length_type == 5 ||
               f.frame_length_type == 7) {
      put(0, 2);  // MuxSlotLengthCoded
    }
    for (guint8 b : f.payload) put(b, 8);
  }
  gst_bit_writer_align_bytes(&bw, 0);
  for (gsize i = 0; i < f.trailing; ++i) put(0, 8);
  const guint8 *data = gst_bit_writer_get_data(&bw);
  std::vector<guint8> out(data, data + gst_bit_writer_get_size(&bw) / 8);
  gst_bit_writer_reset(&bw);
  const gsize length = out.size() - 3;
  out[1] = (out[1] & 0xE0) | ((length >> 8) & 0x1F);
  out[2] = length & 0xFF;
  return out;
}

std::vector<std::vector<guint8>>
split_loas_stream(const std::vector<guint8> &stream)
{
  std::vector<std::vector<guint8>> frames;
  for (gsize pos = 0; pos + 3 <= stream.size();) {
    const gsize len = 3 + (((stream[pos + 1] & 0x1F) << 8) | stream[pos + 2]);
    if (pos + len > stream.size()) break;
    frames.emplace_back(stream.begin() + pos, stream.begin() + pos + len);
    pos += len;
  }
  return frames;
}

}  // namespace testsupport
