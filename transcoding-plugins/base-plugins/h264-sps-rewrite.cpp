#include "transcoding-plugins/base-plugins/h264-sps-rewrite.h"

#include <cstring>

#include "transcoding-plugins/common/aspect-ratio.h"
#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/vui-writer.h"
#include "transcoding-plugins/common/nal-units.h"

namespace {

// H.264 Tables 7-3 and 7-4, in zig-zag scan order (the order the parser stores lists in).
constexpr guint8 default_4x4_intra[16] = {6,  13, 13, 20, 20, 20, 28, 28,
                                          28, 28, 32, 32, 32, 37, 37, 42};
constexpr guint8 default_4x4_inter[16] = {10, 14, 14, 20, 20, 20, 24, 24,
                                          24, 24, 27, 27, 27, 30, 30, 34};
constexpr guint8 default_8x8_intra[64] = {
    6,  10, 10, 13, 11, 13, 16, 16, 16, 16, 18, 18, 18, 18, 18, 23, 23, 23, 23, 23, 23, 25,
    25, 25, 25, 25, 25, 25, 27, 27, 27, 27, 27, 27, 27, 27, 29, 29, 29, 29, 29, 29, 29, 31,
    31, 31, 31, 31, 31, 33, 33, 33, 33, 33, 36, 36, 36, 36, 38, 38, 38, 40, 40, 42};
constexpr guint8 default_8x8_inter[64] = {
    9,  13, 13, 15, 13, 15, 17, 17, 17, 17, 19, 19, 19, 19, 19, 21, 21, 21, 21, 21, 21, 22,
    22, 22, 22, 22, 22, 22, 24, 24, 24, 24, 24, 24, 24, 24, 25, 25, 25, 25, 25, 25, 25, 27,
    27, 27, 27, 27, 27, 28, 28, 28, 28, 28, 30, 30, 30, 30, 32, 32, 32, 33, 33, 35};

// Profiles whose SPS carries chroma_format_idc and the following fields (H.264 7.3.2.1.1):
// the parser reads them for all of these, so the writer must too.
bool
has_chroma_info(guint8 profile_idc)
{
  switch (profile_idc) {
    case 44: case 83: case 86: case 100: case 110: case 118: case 122: case 128: case 134:
    case 135: case 138: case 139: case 244:
      return true;
    default:
      return false;
  }
}

void
put_bits(GstBitWriter *w, guint32 value, guint nbits)
{
  gst_bit_writer_put_bits_uint32(w, value, nbits);
}

void
write_scaling_list_values(GstBitWriter *w, const guint8 *list, const guint8 *fallback,
                          guint n)
{
  if (memcmp(list, fallback, n) == 0) {
    put_bits(w, 0, 1);  // seq_scaling_list_present_flag
    return;
  }
  put_bits(w, 1, 1);
  gint previous = 8;
  for (guint i = 0; i < n; ++i) {
    // The decoder adds delta_scale modulo 256 (7.3.2.1.1.1), so the difference reduced into
    // delta_scale's range [-128, 127] decodes to the same value.
    const gint delta = ((list[i] - previous + 128) & 0xFF) - 128;
    gst_bit_writer_write_se(w, delta);
    previous = list[i];
  }
}

void
write_vui(GstBitWriter *w, const GstH264VUIParams &vui)
{
  write_vui_leading_fields(w, vui);
  put_bits(w, vui.timing_info_present_flag, 1);
  if (vui.timing_info_present_flag) {
    gst_bit_writer_write_uint32(w, vui.num_units_in_tick);
    gst_bit_writer_write_uint32(w, vui.time_scale);
    put_bits(w, vui.fixed_frame_rate_flag, 1);
  }
  put_bits(w, vui.nal_hrd_parameters_present_flag, 1);
  if (vui.nal_hrd_parameters_present_flag)
    h264_postprocess_write_hdr_parameters(w, &vui.nal_hrd_parameters);
  put_bits(w, vui.vcl_hrd_parameters_present_flag, 1);
  if (vui.vcl_hrd_parameters_present_flag)
    h264_postprocess_write_hdr_parameters(w, &vui.vcl_hrd_parameters);
  if (vui.nal_hrd_parameters_present_flag || vui.vcl_hrd_parameters_present_flag)
    put_bits(w, vui.low_delay_hrd_flag, 1);
  put_bits(w, vui.pic_struct_present_flag, 1);
  put_bits(w, vui.bitstream_restriction_flag, 1);
  if (vui.bitstream_restriction_flag) {
    put_bits(w, vui.motion_vectors_over_pic_boundaries_flag, 1);
    gst_bit_writer_write_ue(w, vui.max_bytes_per_pic_denom);
    gst_bit_writer_write_ue(w, vui.max_bits_per_mb_denom);
    gst_bit_writer_write_ue(w, vui.log2_max_mv_length_horizontal);
    gst_bit_writer_write_ue(w, vui.log2_max_mv_length_vertical);
    gst_bit_writer_write_ue(w, vui.num_reorder_frames);
    gst_bit_writer_write_ue(w, vui.max_dec_frame_buffering);
  }
}

// seq_parameter_set_data() and rbsp_trailing_bits(), then emulation prevention.
std::vector<guint8>
encode_sps(const GstH264SPS &sps)
{
  GstBitWriter writer;
  gst_bit_writer_init(&writer);
  GstBitWriter *w = &writer;
  // forbidden_zero_bit 0, nal_ref_idc 3, nal_unit_type 7.
  gst_bit_writer_write_uint8(w, 0x67);
  gst_bit_writer_write_uint8(w, sps.profile_idc);
  put_bits(w, sps.constraint_set0_flag, 1);
  put_bits(w, sps.constraint_set1_flag, 1);
  put_bits(w, sps.constraint_set2_flag, 1);
  put_bits(w, sps.constraint_set3_flag, 1);
  // constraint_set4_flag and constraint_set5_flag as 0, reserved_zero_2bits.
  put_bits(w, 0, 4);
  gst_bit_writer_write_uint8(w, sps.level_idc);
  gst_bit_writer_write_ue(w, sps.id);
  if (has_chroma_info(sps.profile_idc)) {
    gst_bit_writer_write_ue(w, sps.chroma_format_idc);
    if (sps.chroma_format_idc == 3) put_bits(w, sps.separate_colour_plane_flag, 1);
    gst_bit_writer_write_ue(w, sps.bit_depth_luma_minus8);
    gst_bit_writer_write_ue(w, sps.bit_depth_chroma_minus8);
    put_bits(w, sps.qpprime_y_zero_transform_bypass_flag, 1);
    put_bits(w, sps.scaling_matrix_present_flag, 1);
    if (sps.scaling_matrix_present_flag) h264_postprocess_write_scaling_list(w, &sps);
  }
  gst_bit_writer_write_ue(w, sps.log2_max_frame_num_minus4);
  gst_bit_writer_write_ue(w, sps.pic_order_cnt_type);
  if (sps.pic_order_cnt_type == 0) {
    gst_bit_writer_write_ue(w, sps.log2_max_pic_order_cnt_lsb_minus4);
  } else if (sps.pic_order_cnt_type == 1) {
    put_bits(w, sps.delta_pic_order_always_zero_flag, 1);
    gst_bit_writer_write_se(w, sps.offset_for_non_ref_pic);
    gst_bit_writer_write_se(w, sps.offset_for_top_to_bottom_field);
    gst_bit_writer_write_ue(w, sps.num_ref_frames_in_pic_order_cnt_cycle);
    for (guint i = 0; i < sps.num_ref_frames_in_pic_order_cnt_cycle; ++i)
      gst_bit_writer_write_se(w, sps.offset_for_ref_frame[i]);
  }
  gst_bit_writer_write_ue(w, sps.num_ref_frames);
  put_bits(w, sps.gaps_in_frame_num_value_allowed_flag, 1);
  gst_bit_writer_write_ue(w, sps.pic_width_in_mbs_minus1);
  gst_bit_writer_write_ue(w, sps.pic_height_in_map_units_minus1);
  put_bits(w, sps.frame_mbs_only_flag, 1);
  if (!sps.frame_mbs_only_flag) put_bits(w, sps.mb_adaptive_frame_field_flag, 1);
  put_bits(w, sps.direct_8x8_inference_flag, 1);
  put_bits(w, sps.frame_cropping_flag, 1);
  if (sps.frame_cropping_flag) {
    gst_bit_writer_write_ue(w, sps.frame_crop_left_offset);
    gst_bit_writer_write_ue(w, sps.frame_crop_right_offset);
    gst_bit_writer_write_ue(w, sps.frame_crop_top_offset);
    gst_bit_writer_write_ue(w, sps.frame_crop_bottom_offset);
  }
  put_bits(w, sps.vui_parameters_present_flag, 1);
  if (sps.vui_parameters_present_flag) write_vui(w, sps.vui_parameters);
  // rbsp_stop_one_bit, then rbsp_alignment_zero_bit up to the byte boundary.
  put_bits(w, 1, 1);
  gst_bit_writer_align_bytes(w, 0);

  const guint size = gst_bit_writer_get_size(w) / 8;
  guint8 *raw = gst_bit_writer_reset_and_get_data(w);
  std::vector<guint8> out = nal::add_emulation_prevention(raw, size);
  g_free(raw);
  return out;
}

}  // namespace

void
h264_postprocess_write_hdr_parameters(GstBitWriter *w, const GstH264HRDParams *hrd)
{
  gst_bit_writer_write_ue(w, hrd->cpb_cnt_minus1);
  put_bits(w, hrd->bit_rate_scale, 4);
  put_bits(w, hrd->cpb_size_scale, 4);
  // The parser refuses cpb_cnt_minus1 above 31; the arrays hold 32 entries.
  const guint count = MIN(hrd->cpb_cnt_minus1, 31u) + 1;
  for (guint i = 0; i < count; ++i) {
    gst_bit_writer_write_ue(w, hrd->bit_rate_value_minus1[i]);
    gst_bit_writer_write_ue(w, hrd->cpb_size_value_minus1[i]);
    put_bits(w, hrd->cbr_flag[i], 1);
  }
  put_bits(w, hrd->initial_cpb_removal_delay_length_minus1, 5);
  put_bits(w, hrd->cpb_removal_delay_length_minus1, 5);
  put_bits(w, hrd->dpb_output_delay_length_minus1, 5);
  put_bits(w, hrd->time_offset_length, 5);
}

void
h264_postprocess_write_scaling_list(GstBitWriter *w, const GstH264SPS *sps)
{
  const guint count = sps->chroma_format_idc == 3 ? 12 : 8;
  // Fall-back rule A (H.264 Table 7-2): the first list of each kind falls back to the
  // default, the others to the previous list of the same kind.
  for (guint i = 0; i < count; ++i) {
    if (i < 6) {
      const guint8 *fallback = i == 0   ? default_4x4_intra
                               : i == 3 ? default_4x4_inter
                                        : sps->scaling_lists_4x4[i - 1];
      write_scaling_list_values(w, sps->scaling_lists_4x4[i], fallback, 16);
    } else {
      const guint j = i - 6;
      const guint8 *fallback = j == 0   ? default_8x8_intra
                               : j == 1 ? default_8x8_inter
                                        : sps->scaling_lists_8x8[j - 2];
      write_scaling_list_values(w, sps->scaling_lists_8x8[j], fallback, 64);
    }
  }
}

namespace h264 {

SpsRewriteResult
rewrite_sps_aspect_ratio(const guint8 *data, gsize size, gint par_n, gint par_d)
{
  SpsRewriteResult result;
  // The parser reads past the end of records shorter than two bytes.
  if (!data || size < 2) return result;
  GstH264NalUnit nalu{};
  nalu.type = GST_H264_NAL_SPS;
  nalu.data = const_cast<guint8 *>(data);
  nalu.offset = 0;
  nalu.size = static_cast<guint>(MIN(size, G_MAXUINT));
  nalu.header_bytes = 1;
  nalu.valid = TRUE;
  GstH264SPS sps;
  memset(&sps, 0, sizeof(sps));
  if (gst_h264_parse_sps(&nalu, &sps) != GST_H264_PARSER_OK) {
    gst_h264_sps_clear(&sps);
    return result;
  }
  result.num_ref_frames = sps.num_ref_frames;
  result.status = SpsRewrite::kUnchanged;

  aspect::Ratio current{1, 1};
  if (sps.vui_parameters_present_flag && sps.vui_parameters.aspect_ratio_info_present_flag) {
    const GstH264VUIParams &vui = sps.vui_parameters;
    current = vui.aspect_ratio_idc == aspect::kExtendedSar
                  ? aspect::Ratio{vui.sar_width, vui.sar_height}
                  : aspect::table_ratio(vui.aspect_ratio_idc);
  }
  aspect::Ratio wanted{};
  if (par_n < 1 || par_d < 1 ||
      current == aspect::Ratio{guint32(par_n), guint32(par_d)}) {
    gst_h264_sps_clear(&sps);
    return result;
  }
  if (!aspect::fit_16bit(par_n, par_d, &wanted)) {
    result.status = SpsRewrite::kRatioTooLarge;
    gst_h264_sps_clear(&sps);
    return result;
  }
  if (current != wanted) {
    GstH264VUIParams &vui = sps.vui_parameters;
    sps.vui_parameters_present_flag = 1;
    vui.aspect_ratio_info_present_flag = 1;
    vui.aspect_ratio_idc = aspect::table_index(wanted.num, wanted.den);
    if (vui.aspect_ratio_idc == aspect::kExtendedSar) {
      vui.sar_width = static_cast<guint16>(wanted.num);
      vui.sar_height = static_cast<guint16>(wanted.den);
    }
    result.bytes = encode_sps(sps);
    result.status = SpsRewrite::kRewritten;
  }
  gst_h264_sps_clear(&sps);
  return result;
}

}  // namespace h264
