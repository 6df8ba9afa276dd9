#include "tests/support/h264-bitstream.h"

#include <gst/base/gstbitwriter.h>

#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/nal-units.h"

namespace testsupport::h264 {

std::vector<guint8>
build_sps(const SpsSpec &spec)
{
  GstBitWriter w;
  gst_bit_writer_init(&w);
  gst_bit_writer_write_uint8(&w, spec.header);
  gst_bit_writer_write_uint8(&w, spec.profile_idc);
  gst_bit_writer_write_uint8(&w, spec.constraint_flags);
  gst_bit_writer_write_uint8(&w, 30);  // level_idc
  gst_bit_writer_write_ue(&w, 0);      // seq_parameter_set_id
  if (spec.profile_idc >= 100) {
    gst_bit_writer_write_ue(&w, spec.chroma_format_idc);
    if (spec.chroma_format_idc == 3) gst_bit_writer_put_bits_uint8(&w, 0, 1);
    gst_bit_writer_write_ue(&w, 0);  // bit_depth_luma_minus8
    gst_bit_writer_write_ue(&w, 0);  // bit_depth_chroma_minus8
    gst_bit_writer_put_bits_uint8(&w, 0, 1);
    gst_bit_writer_put_bits_uint8(&w, spec.lists ? 1 : 0, 1);
    if (spec.lists) {
      for (const auto &list : *spec.lists) {
        gst_bit_writer_put_bits_uint8(&w, list.empty() ? 0 : 1, 1);
        gint last = 8;
        for (guint8 v : list) {
          gst_bit_writer_write_se(&w, ((v - last + 128) & 0xFF) - 128);
          last = v;
        }
      }
    }
  }
  gst_bit_writer_write_ue(&w, 0);  // log2_max_frame_num_minus4
  gst_bit_writer_write_ue(&w, 1);  // pic_order_cnt_type
  gst_bit_writer_put_bits_uint8(&w, 0, 1);
  gst_bit_writer_write_se(&w, -3);  // offset_for_non_ref_pic
  gst_bit_writer_write_se(&w, 2);   // offset_for_top_to_bottom_field
  gst_bit_writer_write_ue(&w, 2);
  gst_bit_writer_write_se(&w, 5);
  gst_bit_writer_write_se(&w, -7);
  gst_bit_writer_write_ue(&w, spec.num_ref_frames);
  gst_bit_writer_put_bits_uint8(&w, 0, 1);
  gst_bit_writer_write_ue(&w, 10);  // 176 wide
  gst_bit_writer_write_ue(&w, 8);   // 144 high
  gst_bit_writer_put_bits_uint8(&w, 1, 1);
  gst_bit_writer_put_bits_uint8(&w, 1, 1);
  gst_bit_writer_put_bits_uint8(&w, 1, 1);  // frame_cropping_flag
  for (guint32 v : {0u, 2u, 0u, 1u}) gst_bit_writer_write_ue(&w, v);
  gst_bit_writer_put_bits_uint8(&w, spec.vui ? 1 : 0, 1);
  if (spec.vui) {
    gst_bit_writer_put_bits_uint8(&w, 1, 1);
    gst_bit_writer_write_uint8(&w, 1);  // 1:1
    gst_bit_writer_put_bits_uint8(&w, 0, 3);  // overscan, video signal, chroma location
    gst_bit_writer_put_bits_uint8(&w, 1, 1);  // timing
    gst_bit_writer_write_uint32(&w, 1);
    gst_bit_writer_write_uint32(&w, 50);
    gst_bit_writer_put_bits_uint8(&w, 1, 1);
    gst_bit_writer_put_bits_uint8(&w, 0, 4);  // HRD, pic_struct, bitstream restriction
  }
  gst_bit_writer_put_bits_uint8(&w, 1, 1);
  gst_bit_writer_align_bytes(&w, 0);
  const guint size = gst_bit_writer_get_size(&w) / 8;
  guint8 *raw = gst_bit_writer_reset_and_get_data(&w);
  std::vector<guint8> out = nal::add_emulation_prevention(raw, size);
  g_free(raw);
  return out;
}


}  // namespace testsupport::h264
