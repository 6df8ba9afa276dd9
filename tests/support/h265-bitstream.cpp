#include "tests/support/h265-bitstream.h"

#include <gst/base/gstbitwriter.h>

#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/nal-units.h"

namespace testsupport::h265 {

namespace {

void
bits(GstBitWriter *w, guint32 value, guint n)
{
  gst_bit_writer_put_bits_uint32(w, value, n);
}

void
profile(GstBitWriter *w)
{
  bits(w, 0, 2);           // profile_space
  bits(w, 0, 1);           // tier_flag
  bits(w, 1, 5);           // profile_idc: Main
  bits(w, 0x60000000, 32);  // compatible with Main and Main 10
  bits(w, 0b1001, 4);      // progressive, not interlaced, packed, frame only
  bits(w, 0, 32);          // 43 reserved bits and one more
  bits(w, 0, 12);
}

void
profile_tier_level(GstBitWriter *w, guint max_sub_layers_minus1)
{
  profile(w);
  bits(w, 60, 8);  // general_level_idc: level 2
  for (guint i = 0; i < max_sub_layers_minus1; ++i) bits(w, i % 2 == 0 ? 0b11 : 0b01, 2);
  if (max_sub_layers_minus1 > 0)
    for (guint i = max_sub_layers_minus1; i < 8; ++i) bits(w, 0, 2);
  for (guint i = 0; i < max_sub_layers_minus1; ++i) {
    if (i % 2 == 0) profile(w);
    bits(w, 30 + 3 * i, 8);
  }
}

std::vector<guint8>
finish(GstBitWriter *w)
{
  bits(w, 1, 1);
  gst_bit_writer_align_bytes(w, 0);
  const guint size = gst_bit_writer_get_size(w) / 8;
  guint8 *raw = gst_bit_writer_reset_and_get_data(w);
  std::vector<guint8> out = nal::add_emulation_prevention(raw, size, 2);
  g_free(raw);
  return out;
}

void
scaling_list_data(GstBitWriter *w)
{
  for (guint size_id = 0; size_id < 4; ++size_id) {
    for (guint matrix_id = 0; matrix_id < 6; matrix_id += size_id == 3 ? 3 : 1) {
      if (matrix_id % 2 == 1) {
        bits(w, 0, 1);                  // scaling_list_pred_mode_flag: copy
        gst_bit_writer_write_ue(w, 1);  // from the previous matrix
        continue;
      }
      bits(w, 1, 1);
      const guint coefs = MIN(64u, 1u << (4 + 2 * size_id));
      if (size_id > 1) gst_bit_writer_write_se(w, 8 + matrix_id);  // dc 16 + matrix_id
      gst_bit_writer_write_se(w, 8 + matrix_id);
      for (guint i = 1; i < coefs; ++i) gst_bit_writer_write_se(w, i % 2 ? 1 : -1);
    }
  }
}

void
st_ref_pic_sets(GstBitWriter *w, bool inter)
{
  gst_bit_writer_write_ue(w, inter ? 3 : 2);
  // Set 0: two pictures before, one after.
  gst_bit_writer_write_ue(w, 2);
  gst_bit_writer_write_ue(w, 1);
  gst_bit_writer_write_ue(w, 0), bits(w, 1, 1);
  gst_bit_writer_write_ue(w, 1), bits(w, 0, 1);
  gst_bit_writer_write_ue(w, 0), bits(w, 1, 1);
  if (!inter) {
    bits(w, 0, 1);  // inter_ref_pic_set_prediction_flag
    gst_bit_writer_write_ue(w, 1);
    gst_bit_writer_write_ue(w, 0);
    gst_bit_writer_write_ue(w, 3), bits(w, 1, 1);
    return;
  }
  // Set 1 from set 0 shifted by -1: its four entries (three pictures and the set's own
  // picture), some unused, one dropped.
  bits(w, 1, 1);
  bits(w, 1, 1);                  // delta_rps_sign
  gst_bit_writer_write_ue(w, 0);  // abs_delta_rps_minus1
  bits(w, 1, 1);
  bits(w, 0b01, 2);  // not used by the current picture, kept
  bits(w, 0b00, 2);  // dropped
  bits(w, 1, 1);
  // Set 2 from set 1 shifted by +1: -1 lands on the current picture (skipped by the
  // derivation), -2 becomes -1, -3 is dropped, and +1 is added.
  bits(w, 1, 1);
  bits(w, 0, 1);
  gst_bit_writer_write_ue(w, 0);
  bits(w, 0b01, 2);
  bits(w, 1, 1);
  bits(w, 0b00, 2);
  bits(w, 1, 1);
}

void
hrd_parameters(GstBitWriter *w, guint max_sub_layers_minus1)
{
  bits(w, 1, 1);  // nal_hrd_parameters_present_flag
  bits(w, 0, 1);  // vcl_hrd_parameters_present_flag
  bits(w, 1, 1);  // sub_pic_hrd_params_present_flag
  bits(w, 10, 8);
  bits(w, 3, 5);
  bits(w, 1, 1);
  bits(w, 4, 5);
  bits(w, 1, 4);
  bits(w, 2, 4);
  bits(w, 3, 4);
  bits(w, 23, 5);
  bits(w, 15, 5);
  bits(w, 5, 5);
  for (guint i = 0; i <= max_sub_layers_minus1; ++i) {
    guint cpb_cnt_minus1 = 0;
    if (i % 2 == 0) {
      bits(w, 1, 1);  // fixed_pic_rate_general_flag
      gst_bit_writer_write_ue(w, i);
      gst_bit_writer_write_ue(w, cpb_cnt_minus1);
    } else {
      bits(w, 0, 1);
      bits(w, 0, 1);  // fixed_pic_rate_within_cvs_flag
      bits(w, 0, 1);  // low_delay_hrd_flag
      cpb_cnt_minus1 = 1;
      gst_bit_writer_write_ue(w, cpb_cnt_minus1);
    }
    for (guint j = 0; j <= cpb_cnt_minus1; ++j) {
      gst_bit_writer_write_ue(w, 1000 + 10 * i + j);
      gst_bit_writer_write_ue(w, 2000 + j);
      gst_bit_writer_write_ue(w, 300 + j);
      gst_bit_writer_write_ue(w, 400 + i);
      bits(w, j % 2, 1);
    }
  }
}

void
vui(GstBitWriter *w, const SpsSpec &spec)
{
  bits(w, 1, 1);  // aspect_ratio_info_present_flag
  bits(w, 1, 8);  // 1:1
  bits(w, 0b11, 2);  // overscan
  bits(w, 1, 1);  // video_signal_type_present_flag
  bits(w, 5, 3);
  bits(w, 0, 1);
  bits(w, 1, 1);
  bits(w, 1, 8), bits(w, 1, 8), bits(w, 1, 8);
  bits(w, 1, 1);  // chroma_loc_info_present_flag
  gst_bit_writer_write_ue(w, 1);
  gst_bit_writer_write_ue(w, 1);
  bits(w, 0, 3);  // neutral chroma, field_seq, frame_field_info
  bits(w, 1, 1);  // default_display_window_flag
  for (guint v : {0u, 2u, 0u, 2u}) gst_bit_writer_write_ue(w, v);
  bits(w, 1, 1);  // vui_timing_info_present_flag
  bits(w, 1, 32);
  bits(w, 25, 32);
  bits(w, 1, 1);  // vui_poc_proportional_to_timing_flag
  gst_bit_writer_write_ue(w, 0);
  bits(w, spec.hrd, 1);
  if (spec.hrd) hrd_parameters(w, spec.max_sub_layers_minus1);
  bits(w, 1, 1);  // bitstream_restriction_flag
  bits(w, 0b011, 3);
  for (guint v : {0u, 2u, 1u, 15u, 15u}) gst_bit_writer_write_ue(w, v);
}

}  // namespace

BuiltSps
build_sps(const SpsSpec &spec)
{
  GstBitWriter writer;
  gst_bit_writer_init(&writer);
  GstBitWriter *w = &writer;
  bits(w, 0x4201, 16);  // nal_unit_type 33, layer 0, temporal id 0
  bits(w, 0, 4);
  bits(w, spec.max_sub_layers_minus1, 3);
  bits(w, 1, 1);
  profile_tier_level(w, spec.max_sub_layers_minus1);
  gst_bit_writer_write_ue(w, spec.id);
  gst_bit_writer_write_ue(w, 1);  // chroma_format_idc
  gst_bit_writer_write_ue(w, 64);
  gst_bit_writer_write_ue(w, 64);
  bits(w, spec.conformance_window, 1);
  if (spec.conformance_window)
    for (guint v : {0u, 2u, 0u, 4u}) gst_bit_writer_write_ue(w, v);
  gst_bit_writer_write_ue(w, 0);  // bit depths
  gst_bit_writer_write_ue(w, 0);
  gst_bit_writer_write_ue(w, 4);  // 8-bit picture order count lsb
  bits(w, 1, 1);                  // sps_sub_layer_ordering_info_present_flag
  for (guint i = 0; i <= spec.max_sub_layers_minus1; ++i) {
    gst_bit_writer_write_ue(w, 4);
    gst_bit_writer_write_ue(w, 2);
    gst_bit_writer_write_ue(w, i);
  }
  for (guint v : {0u, 1u, 0u, 2u, 1u, 1u}) gst_bit_writer_write_ue(w, v);  // 8..16 CU, 4..16 TU
  bits(w, spec.scaling_lists, 1);
  if (spec.scaling_lists) {
    bits(w, 1, 1);
    scaling_list_data(w);
  }
  bits(w, 0b11, 2);  // amp, sample adaptive offset
  bits(w, spec.pcm, 1);
  if (spec.pcm) {
    bits(w, 7, 4), bits(w, 7, 4);
    gst_bit_writer_write_ue(w, 0);
    gst_bit_writer_write_ue(w, 1);
    bits(w, 1, 1);
  }
  st_ref_pic_sets(w, spec.inter_rps);
  bits(w, spec.long_term_refs > 0, 1);
  if (spec.long_term_refs > 0) {
    gst_bit_writer_write_ue(w, spec.long_term_refs);
    for (guint i = 0; i < spec.long_term_refs; ++i) {
      bits(w, spec.zero_long_term_lsb ? 0 : 3 * i + 1, 8);
      bits(w, spec.zero_long_term_lsb ? 0 : i % 2, 1);
    }
  }
  bits(w, 0b11, 2);  // temporal mvp, strong intra smoothing
  BuiltSps built{};
  built.vui_flag_bit = gst_bit_writer_get_size(w);
  bits(w, spec.vui, 1);
  if (spec.vui) vui(w, spec);
  bits(w, spec.extension, 1);
  if (spec.extension) {
    bits(w, 0b1000, 4);  // range extension only
    bits(w, 0, 4);
    bits(w, 0, 9);       // its flags
  }
  built.nal = finish(w);
  return built;
}

std::vector<guint8>
build_vps(guint8 id)
{
  GstBitWriter writer;
  gst_bit_writer_init(&writer);
  GstBitWriter *w = &writer;
  bits(w, 0x4001, 16);
  bits(w, id, 4);
  bits(w, 0b11, 2);  // base layer internal and available
  bits(w, 0, 6);     // vps_max_layers_minus1
  bits(w, 0, 3);     // vps_max_sub_layers_minus1
  bits(w, 1, 1);
  bits(w, 0xFFFF, 16);
  profile_tier_level(w, 0);
  bits(w, 1, 1);
  gst_bit_writer_write_ue(w, 4);
  gst_bit_writer_write_ue(w, 2);
  gst_bit_writer_write_ue(w, 0);
  bits(w, 0, 6);  // vps_max_layer_id
  gst_bit_writer_write_ue(w, 0);
  bits(w, 0, 1);  // vps_timing_info_present_flag
  bits(w, 0, 1);  // vps_extension_flag
  return finish(w);
}

std::vector<guint8>
build_pps(guint8 id, guint8 sps_id)
{
  GstBitWriter writer;
  gst_bit_writer_init(&writer);
  GstBitWriter *w = &writer;
  bits(w, 0x4401, 16);
  gst_bit_writer_write_ue(w, id);
  gst_bit_writer_write_ue(w, sps_id);
  bits(w, 0x5A, 8);
  return finish(w);
}

}  // namespace testsupport::h265
