#include "transcoding-plugins/base-plugins/h265-sps-rewrite.h"

#include <gst/base/gstbitreader.h>

#include <cstring>

#include "transcoding-plugins/common/aspect-ratio.h"
#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/vui-writer.h"
#include "transcoding-plugins/common/nal-units.h"

namespace {

void
put_bits(GstBitWriter *w, guint32 value, guint nbits)
{
  gst_bit_writer_put_bits_uint32(w, value, nbits);
}

// Steps over the fields of an SPS; every step fails once the bits run out.
class Stepper {
 public:
  Stepper(const guint8 *data, gsize size)
  {
    gst_bit_reader_init(&reader_, data, static_cast<guint>(MIN(size, G_MAXUINT)));
  }
  void skip(guint nbits) { ok_ = ok_ && gst_bit_reader_skip(&reader_, nbits); }
  void ue()
  {
    guint32 v;
    ok_ = ok_ && bit_reader_get_ue(&reader_, &v);
  }
  guint flag()
  {
    guint8 v = 0;
    ok_ = ok_ && gst_bit_reader_get_bits_uint8(&reader_, &v, 1);
    return ok_ ? v : 0;
  }
  bool ok() const { return ok_; }
  guint position() const { return gst_bit_reader_get_pos(&reader_); }

 private:
  GstBitReader reader_;
  bool ok_ = true;
};

// The profile fields shared by the general and the sub-layer profiles (H.265 7.3.3): profile
// space, tier, profile_idc, 32 compatibility flags, four source/constraint flags, 44 more bits.
constexpr guint kProfileBits = 2 + 1 + 5 + 32 + 4 + 44;

void
step_profile_tier_level(Stepper &s, const GstH265SPS &sps)
{
  const GstH265ProfileTierLevel &ptl = sps.profile_tier_level;
  const guint sub_layers = MIN(sps.max_sub_layers_minus1, 6u);
  s.skip(kProfileBits);
  s.skip(8);  // general_level_idc
  s.skip(2 * sub_layers);
  if (sub_layers > 0) s.skip(2 * (8 - sub_layers));  // reserved_zero_2bits
  for (guint i = 0; i < sub_layers; ++i) {
    if (ptl.sub_layer_profile_present_flag[i]) s.skip(kProfileBits);
    if (ptl.sub_layer_level_present_flag[i]) s.skip(8);
  }
}

// H.265 7.3.4; the prediction flags are read from the bits.
void
step_scaling_list_data(Stepper &s)
{
  for (guint size_id = 0; size_id < 4; ++size_id) {
    for (guint matrix_id = 0; matrix_id < 6; matrix_id += size_id == 3 ? 3 : 1) {
      if (!s.flag()) {
        s.ue();  // scaling_list_pred_matrix_id_delta
        continue;
      }
      const guint coefs = MIN(64u, 1u << (4 + 2 * size_id));
      if (size_id > 1) s.ue();  // scaling_list_dc_coef_minus8
      for (guint i = 0; i < coefs && s.ok(); ++i) s.ue();
    }
  }
}

// H.265 7.3.7 within an SPS (no delta_idx_minus1: the reference set is always the previous).
void
step_st_ref_pic_set(Stepper &s, const GstH265SPS &sps, guint idx)
{
  const GstH265ShortTermRefPicSet &set = sps.short_term_ref_pic_set[idx];
  const bool predicted = idx > 0 && s.flag();
  if (!predicted) {
    s.ue();  // num_negative_pics
    s.ue();  // num_positive_pics
    const guint pics = set.NumNegativePics + set.NumPositivePics;
    for (guint i = 0; i < pics && s.ok(); ++i) {
      s.ue();    // delta_poc_s0/s1_minus1
      s.skip(1);  // used_by_curr_pic_s0/s1_flag
    }
    return;
  }
  s.skip(1);  // delta_rps_sign
  s.ue();     // abs_delta_rps_minus1
  const guint ref_pocs = sps.short_term_ref_pic_set[idx - 1].NumDeltaPocs;
  for (guint j = 0; j <= ref_pocs && s.ok(); ++j)
    if (!s.flag()) s.skip(1);  // use_delta_flag
}

// Bit position of vui_parameters_present_flag in the unescaped SPS `rbsp`; 0 when the bits
// run out first.
guint
vui_flag_position(const std::vector<guint8> &rbsp, const GstH265SPS &sps)
{
  Stepper s(rbsp.data(), rbsp.size());
  s.skip(16);  // nal_unit_header()
  s.skip(4 + 3 + 1);
  step_profile_tier_level(s, sps);
  s.ue();  // sps_seq_parameter_set_id
  s.ue();  // chroma_format_idc
  if (sps.chroma_format_idc == 3) s.skip(1);
  s.ue();
  s.ue();
  if (s.flag()) {  // conformance_window_flag
    for (int i = 0; i < 4; ++i) s.ue();
  }
  s.ue();  // bit_depth_luma_minus8
  s.ue();  // bit_depth_chroma_minus8
  s.ue();  // log2_max_pic_order_cnt_lsb_minus4
  const bool ordering_info = s.flag();
  const guint sub_layers = MIN(sps.max_sub_layers_minus1, 6u);
  for (guint i = ordering_info ? 0 : sub_layers; i <= sub_layers; ++i) {
    s.ue();
    s.ue();
    s.ue();
  }
  for (int i = 0; i < 6; ++i) s.ue();
  if (s.flag() && s.flag()) step_scaling_list_data(s);
  s.skip(2);       // amp_enabled_flag, sample_adaptive_offset_enabled_flag
  if (s.flag()) {  // pcm_enabled_flag
    s.skip(8);
    s.ue();
    s.ue();
    s.skip(1);
  }
  s.ue();  // num_short_term_ref_pic_sets
  for (guint i = 0; i < sps.num_short_term_ref_pic_sets && s.ok(); ++i)
    step_st_ref_pic_set(s, sps, i);
  if (s.flag()) {  // long_term_ref_pics_present_flag
    s.ue();
    for (guint i = 0; i < sps.num_long_term_ref_pics_sps && s.ok(); ++i)
      s.skip(sps.log2_max_pic_order_cnt_lsb_minus4 + 4 + 1);
  }
  s.skip(2);  // sps_temporal_mvp_enabled_flag, strong_intra_smoothing_enabled_flag
  return s.ok() ? s.position() : 0;
}

// hrd_parameters() of H.265 E.2.2 with commonInfPresentFlag 1.
void
write_hrd_parameters(GstBitWriter *w, const GstH265HRDParams &hrd, guint max_sub_layers_minus1)
{
  put_bits(w, hrd.nal_hrd_parameters_present_flag, 1);
  put_bits(w, hrd.vcl_hrd_parameters_present_flag, 1);
  if (hrd.nal_hrd_parameters_present_flag || hrd.vcl_hrd_parameters_present_flag) {
    put_bits(w, hrd.sub_pic_hrd_params_present_flag, 1);
    if (hrd.sub_pic_hrd_params_present_flag) {
      put_bits(w, hrd.tick_divisor_minus2, 8);
      put_bits(w, hrd.du_cpb_removal_delay_increment_length_minus1, 5);
      put_bits(w, hrd.sub_pic_cpb_params_in_pic_timing_sei_flag, 1);
      put_bits(w, hrd.dpb_output_delay_du_length_minus1, 5);
    }
    put_bits(w, hrd.bit_rate_scale, 4);
    put_bits(w, hrd.cpb_size_scale, 4);
    if (hrd.sub_pic_hrd_params_present_flag) put_bits(w, hrd.cpb_size_du_scale, 4);
    put_bits(w, hrd.initial_cpb_removal_delay_length_minus1, 5);
    put_bits(w, hrd.au_cpb_removal_delay_length_minus1, 5);
    put_bits(w, hrd.dpb_output_delay_length_minus1, 5);
  }
  for (guint i = 0; i <= max_sub_layers_minus1; ++i) {
    put_bits(w, hrd.fixed_pic_rate_general_flag[i], 1);
    // Inferred to be 1 when the general flag is set (E.3.2); the parser stores it so.
    if (!hrd.fixed_pic_rate_general_flag[i]) put_bits(w, hrd.fixed_pic_rate_within_cvs_flag[i], 1);
    if (hrd.fixed_pic_rate_within_cvs_flag[i])
      gst_bit_writer_write_ue(w, hrd.elemental_duration_in_tc_minus1[i]);
    else
      put_bits(w, hrd.low_delay_hrd_flag[i], 1);
    if (!hrd.low_delay_hrd_flag[i]) gst_bit_writer_write_ue(w, hrd.cpb_cnt_minus1[i]);
    if (hrd.nal_hrd_parameters_present_flag)
      write_sub_layer_hrd_parameters(w, &hrd.sublayer_hrd_params[i], hrd.cpb_cnt_minus1[i],
                                     hrd.sub_pic_hrd_params_present_flag);
    if (hrd.vcl_hrd_parameters_present_flag)
      write_sub_layer_hrd_parameters(w, &hrd.sublayer_hrd_params[i], hrd.cpb_cnt_minus1[i],
                                     hrd.sub_pic_hrd_params_present_flag);
  }
}

// vui_parameters() of H.265 E.2.1.
void
write_vui(GstBitWriter *w, const GstH265VUIParams &vui, guint max_sub_layers_minus1)
{
  write_vui_leading_fields(w, vui);
  put_bits(w, vui.neutral_chroma_indication_flag, 1);
  put_bits(w, vui.field_seq_flag, 1);
  put_bits(w, vui.frame_field_info_present_flag, 1);
  put_bits(w, vui.default_display_window_flag, 1);
  if (vui.default_display_window_flag) {
    gst_bit_writer_write_ue(w, vui.def_disp_win_left_offset);
    gst_bit_writer_write_ue(w, vui.def_disp_win_right_offset);
    gst_bit_writer_write_ue(w, vui.def_disp_win_top_offset);
    gst_bit_writer_write_ue(w, vui.def_disp_win_bottom_offset);
  }
  put_bits(w, vui.timing_info_present_flag, 1);
  if (vui.timing_info_present_flag) {
    gst_bit_writer_write_uint32(w, vui.num_units_in_tick);
    gst_bit_writer_write_uint32(w, vui.time_scale);
    put_bits(w, vui.poc_proportional_to_timing_flag, 1);
    if (vui.poc_proportional_to_timing_flag)
      gst_bit_writer_write_ue(w, vui.num_ticks_poc_diff_one_minus1);
    put_bits(w, vui.hrd_parameters_present_flag, 1);
    if (vui.hrd_parameters_present_flag)
      write_hrd_parameters(w, vui.hrd_params, max_sub_layers_minus1);
  }
  put_bits(w, vui.bitstream_restriction_flag, 1);
  if (vui.bitstream_restriction_flag) {
    put_bits(w, vui.tiles_fixed_structure_flag, 1);
    put_bits(w, vui.motion_vectors_over_pic_boundaries_flag, 1);
    put_bits(w, vui.restricted_ref_pic_lists_flag, 1);
    gst_bit_writer_write_ue(w, vui.min_spatial_segmentation_idc);
    gst_bit_writer_write_ue(w, vui.max_bytes_per_pic_denom);
    gst_bit_writer_write_ue(w, vui.max_bits_per_min_cu_denom);
    gst_bit_writer_write_ue(w, vui.log2_max_mv_length_horizontal);
    gst_bit_writer_write_ue(w, vui.log2_max_mv_length_vertical);
  }
}

aspect::Ratio
current_ratio(const GstH265SPS &sps)
{
  const GstH265VUIParams &vui = sps.vui_params;
  if (!sps.vui_parameters_present_flag || !vui.aspect_ratio_info_present_flag) return {1, 1};
  if (vui.aspect_ratio_idc == aspect::kExtendedSar) return {vui.sar_width, vui.sar_height};
  return aspect::table_ratio(vui.aspect_ratio_idc);
}

// The rewritten SPS, as parsed, equals the original in every field but the aspect ratio.
bool
same_except_aspect_ratio(const GstH265SPS &original, const GstH265SPS &rewritten)
{
  const GstH265VUIParams &rvui = rewritten.vui_params;
  GstH265SPS expected;
  memcpy(&expected, &original, sizeof(expected));
  if (!original.vui_parameters_present_flag) {
    // A VUI that was absent is written with every flag 0.
    if (rvui.overscan_info_present_flag || rvui.video_signal_type_present_flag ||
        rvui.chroma_loc_info_present_flag || rvui.neutral_chroma_indication_flag ||
        rvui.field_seq_flag || rvui.frame_field_info_present_flag ||
        rvui.default_display_window_flag || rvui.timing_info_present_flag ||
        rvui.bitstream_restriction_flag)
      return false;
    memcpy(&expected.vui_params, &rvui, sizeof(rvui));
    expected.fps_num = rewritten.fps_num;
    expected.fps_den = rewritten.fps_den;
  }
  if (!rvui.aspect_ratio_info_present_flag) return false;
  GstH265VUIParams &vui = expected.vui_params;
  expected.vui_parameters_present_flag = 1;
  vui.aspect_ratio_info_present_flag = 1;
  vui.aspect_ratio_idc = rvui.aspect_ratio_idc;
  vui.sar_width = rvui.sar_width;
  vui.sar_height = rvui.sar_height;
  vui.par_n = rvui.par_n;
  vui.par_d = rvui.par_d;
  // The library links an SPS to the VPS its parser holds.
  expected.vps = rewritten.vps;
  return memcmp(&expected, &rewritten, sizeof(expected)) == 0;
}

}  // namespace

void
write_sub_layer_hrd_parameters(GstBitWriter *w, const GstH265SubLayerHRDParams *params,
                               guint8 cpb_cnt_minus1, guint8 sub_pic_hrd_params_present_flag)
{
  // E.3.3: cpb_cnt_minus1 is at most 31, the size of the arrays.
  const guint count = MIN(cpb_cnt_minus1, 31u) + 1;
  for (guint i = 0; i < count; ++i) {
    gst_bit_writer_write_ue(w, params->bit_rate_value_minus1[i]);
    gst_bit_writer_write_ue(w, params->cpb_size_value_minus1[i]);
    if (sub_pic_hrd_params_present_flag) {
      gst_bit_writer_write_ue(w, params->cpb_size_du_value_minus1[i]);
      gst_bit_writer_write_ue(w, params->bit_rate_du_value_minus1[i]);
    }
    put_bits(w, params->cbr_flag[i], 1);
  }
}

namespace h265 {

bool
parse_sps(const guint8 *data, gsize size, GstH265SPS *sps)
{
  memset(sps, 0, sizeof(*sps));
  // The parser reads past the end of units shorter than three bytes.
  if (!data || size < 3 || size > G_MAXUINT) return false;
  GstH265Parser *parser = gst_h265_parser_new();
  GstH265NalUnit nalu{};
  nalu.type = GST_H265_NAL_SPS;
  nalu.data = const_cast<guint8 *>(data);
  nalu.size = static_cast<guint>(size);
  nalu.header_bytes = 2;
  nalu.layer_id = ((data[0] & 1) << 5) | (data[1] >> 3);
  nalu.temporal_id_plus1 = data[1] & 7;
  nalu.valid = TRUE;
  const bool ok = gst_h265_parse_sps(parser, &nalu, sps, TRUE) == GST_H265_PARSER_OK;
  gst_h265_parser_free(parser);
  return ok;
}

SpsRewriteResult
rewrite_sps_aspect_ratio(const guint8 *data, gsize size, const GstH265SPS &parsed, gint par_n,
                         gint par_d)
{
  SpsRewriteResult result;
  if (par_n < 1 || par_d < 1 || !data || size < 3) return result;
  const aspect::Ratio current = current_ratio(parsed);
  if (current == aspect::Ratio{guint32(par_n), guint32(par_d)}) return result;
  aspect::Ratio wanted;
  if (!aspect::fit_16bit(par_n, par_d, &wanted)) {
    result.status = SpsRewrite::kRatioTooLarge;
    return result;
  }
  if (current == wanted) return result;
  if (parsed.sps_extension_flag) {
    result.status = SpsRewrite::kExtensions;
    return result;
  }
  // The parser keeps one set of sub-layer HRD values, so when both the NAL and the VCL HRD are
  // present the NAL values are lost (the VCL ones overwrite them): writing would corrupt them.
  const GstH265HRDParams &hrd = parsed.vui_params.hrd_params;
  if (parsed.vui_parameters_present_flag && parsed.vui_params.timing_info_present_flag &&
      parsed.vui_params.hrd_parameters_present_flag && hrd.nal_hrd_parameters_present_flag &&
      hrd.vcl_hrd_parameters_present_flag) {
    result.status = SpsRewrite::kUnsupported;
    return result;
  }

  // H.265 7.4.2.2: forbidden_zero_bit 0 and nuh_temporal_id_plus1 above 0. A header byte 00
  // would let a zero run, and so an escape, span the header, which the library reads apart.
  if ((data[0] & 0x80) || (data[1] & 7) == 0) {
    result.status = SpsRewrite::kUnsupported;
    return result;
  }
  const std::vector<guint8> rbsp = nal::remove_emulation_prevention(data, size);
  const guint prefix_bits = vui_flag_position(rbsp, parsed);
  if (prefix_bits == 0) {
    result.status = SpsRewrite::kUnsupported;
    return result;
  }

  GstH265SPS sps = parsed;
  GstH265VUIParams &vui = sps.vui_params;
  if (!sps.vui_parameters_present_flag) memset(&vui, 0, sizeof(vui));
  sps.vui_parameters_present_flag = 1;
  vui.aspect_ratio_info_present_flag = 1;
  vui.aspect_ratio_idc = aspect::table_index(wanted.num, wanted.den);
  if (vui.aspect_ratio_idc == aspect::kExtendedSar) {
    vui.sar_width = static_cast<guint16>(wanted.num);
    vui.sar_height = static_cast<guint16>(wanted.den);
  }

  GstBitWriter writer;
  gst_bit_writer_init_with_size(&writer, static_cast<guint>(rbsp.size() + 64), FALSE);
  GstBitWriter *w = &writer;
  gst_bit_writer_put_bytes(w, rbsp.data(), prefix_bits / 8);
  if (prefix_bits % 8)
    put_bits(w, rbsp[prefix_bits / 8] >> (8 - prefix_bits % 8), prefix_bits % 8);
  put_bits(w, 1, 1);  // vui_parameters_present_flag
  write_vui(w, vui, MIN(sps.max_sub_layers_minus1, 6u));
  put_bits(w, 0, 1);  // sps_extension_present_flag
  put_bits(w, 1, 1);  // rbsp_stop_one_bit
  gst_bit_writer_align_bytes(w, 0);
  const guint out_size = gst_bit_writer_get_size(w) / 8;
  guint8 *raw = gst_bit_writer_reset_and_get_data(w);
  result.bytes = nal::add_emulation_prevention(raw, out_size);
  g_free(raw);

  // The prefix was stepped over by this code and the rest written from what the library
  // parsed: where the two disagree about the syntax, the result must not go out.
  GstH265SPS check;
  if (!parse_sps(result.bytes.data(), result.bytes.size(), &check) ||
      !same_except_aspect_ratio(parsed, check) ||
      check.vui_params.aspect_ratio_idc != vui.aspect_ratio_idc ||
      (vui.aspect_ratio_idc == aspect::kExtendedSar &&
       (check.vui_params.sar_width != vui.sar_width ||
        check.vui_params.sar_height != vui.sar_height))) {
    result.bytes.clear();
    result.status = SpsRewrite::kUnsupported;
    return result;
  }
  result.status = SpsRewrite::kRewritten;
  return result;
}

}  // namespace h265
