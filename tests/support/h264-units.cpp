#include "tests/support/h264-units.h"

#include <gst/base/gstbitwriter.h>

#include <algorithm>

#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/nal-units.h"

namespace testsupport::h264 {
namespace {

class Writer {
 public:
  Writer() { gst_bit_writer_init(&w_); }
  ~Writer() { gst_bit_writer_reset(&w_); }
  Writer &bits(guint32 value, guint n) {
    gst_bit_writer_put_bits_uint32(&w_, value, n);
    return *this;
  }
  Writer &ue(guint32 v) {
    gst_bit_writer_write_ue(&w_, v);
    return *this;
  }
  Writer &se(gint32 v) {
    gst_bit_writer_write_se(&w_, v);
    return *this;
  }
  // rbsp_trailing_bits, then the emulation-prevented NAL unit.
  Bytes finish() {
    bits(1, 1);
    gst_bit_writer_align_bytes(&w_, 0);
    const guint8 *data = gst_bit_writer_get_data(&w_);
    return nal::add_emulation_prevention(data, gst_bit_writer_get_size(&w_) / 8, 1);
  }

 private:
  GstBitWriter w_;
};

}  // namespace

Bytes
sps(bool frame_mbs_only)
{
  Writer w;
  w.bits(0x67, 8).bits(77, 8).bits(0, 8).bits(30, 8);  // header, Main, constraints, level 3
  w.ue(0);                                              // seq_parameter_set_id
  w.ue(0);                                              // log2_max_frame_num_minus4
  w.ue(0).ue(0);                                        // poc type 0, log2_max_poc_lsb - 4
  w.ue(1).bits(0, 1);                                   // max_num_ref_frames, gaps
  w.ue(9);                                              // width 160
  // Height 128 in map units: field pairs count map units of two macroblock rows.
  w.ue(frame_mbs_only ? 7 : 3);
  w.bits(frame_mbs_only ? 1 : 0, 1);
  if (!frame_mbs_only) w.bits(0, 1);  // mb_adaptive_frame_field_flag
  w.bits(1, 1);                        // direct_8x8_inference_flag
  w.bits(0, 1).bits(0, 1);             // no cropping, no VUI
  return w.finish();
}

Bytes
pps()
{
  Writer w;
  w.bits(0x68, 8).ue(0).ue(0);       // header, pps id, sps id
  w.bits(0, 1).bits(0, 1).ue(0);     // CAVLC, no bottom_field_pic_order, one slice group
  w.ue(0).ue(0).bits(0, 1).bits(0, 2);
  w.se(0).se(0).se(0);               // qp, qs, chroma offset
  w.bits(1, 1).bits(0, 1).bits(0, 1);
  return w.finish();
}

Bytes
slice(bool idr, Picture picture, bool interlaced_sps)
{
  Writer w;
  w.bits(idr ? 0x65 : 0x41, 8);
  w.ue(0).ue(idr ? 7 : 5).ue(0);  // first_mb_in_slice, slice_type I or P (all), pps id
  w.bits(0, 4);                   // frame_num
  if (interlaced_sps) {
    w.bits(picture != Picture::kFrame, 1);
    if (picture != Picture::kFrame) w.bits(picture == Picture::kBottomField, 1);
  }
  w.bits(0xA5A5, 16);  // stands in for the rest of the slice
  return w.finish();
}

Bytes
unit(guint8 type, std::initializer_list<guint8> payload)
{
  Bytes out(1 + payload.size());
  out[0] = type;
  std::copy(payload.begin(), payload.end(), out.begin() + 1);
  return out;
}

Bytes
access_unit(const std::vector<Bytes> &units, guint length_size)
{
  Bytes out;
  for (const Bytes &u : units) {
    nal::append_length(out, u.size(), length_size);
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

Bytes
codec_data(const Bytes &sps, const Bytes &pps, guint length_size)
{
  Bytes out = {1, sps[1], sps[2], sps[3], static_cast<guint8>(0xFC | (length_size - 1)), 0xE1};
  out.push_back(sps.size() >> 8);
  out.push_back(sps.size() & 0xFF);
  out.insert(out.end(), sps.begin(), sps.end());
  out.push_back(1);
  out.push_back(pps.size() >> 8);
  out.push_back(pps.size() & 0xFF);
  out.insert(out.end(), pps.begin(), pps.end());
  return out;
}

Bytes
build_sps(const SpsSpec &spec)
{
  Writer w;
  w.bits(spec.header, 8).bits(spec.profile_idc, 8).bits(spec.constraint_flags, 8).bits(30, 8);
  w.ue(0);  // seq_parameter_set_id
  if (spec.profile_idc >= 100) {
    w.ue(spec.chroma_format_idc);
    if (spec.chroma_format_idc == 3) w.bits(0, 1);
    w.ue(0).ue(0);  // bit depths
    w.bits(0, 1).bits(spec.lists ? 1 : 0, 1);
    if (spec.lists) {
      for (const auto &list : *spec.lists) {
        w.bits(list.empty() ? 0 : 1, 1);
        gint last = 8;
        for (guint8 v : list) {
          // delta_scale in [-128, 127]: the difference modulo 256.
          w.se(((v - last + 128) & 0xFF) - 128);
          last = v;
        }
      }
    }
  }
  w.ue(0);                       // log2_max_frame_num_minus4
  w.ue(1).bits(0, 1);            // pic_order_cnt_type 1, delta_pic_order_always_zero_flag
  w.se(-3).se(2);                // offset_for_non_ref_pic, offset_for_top_to_bottom_field
  w.ue(2).se(5).se(-7);          // num_ref_frames_in_pic_order_cnt_cycle and offsets
  w.ue(spec.num_ref_frames).bits(0, 1);
  w.ue(10).ue(8);                // 176x144
  w.bits(1, 1).bits(1, 1);       // frame_mbs_only_flag, direct_8x8_inference_flag
  w.bits(1, 1).ue(0).ue(2).ue(0).ue(1);  // frame cropping
  w.bits(spec.vui ? 1 : 0, 1);
  if (spec.vui) {
    w.bits(1, 1).bits(1, 8);     // aspect ratio 1:1
    w.bits(0, 3);                // overscan, video signal, chroma location
    w.bits(1, 1).bits(1, 32).bits(50, 32).bits(1, 1);  // timing
    w.bits(0, 4);                // HRD, pic_struct, bitstream restriction
  }
  return w.finish();
}

}  // namespace testsupport::h264
