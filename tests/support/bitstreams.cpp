#include "tests/support/bitstreams.h"

#include "transcoding-plugins/common/nal-units.h"

namespace testsupport {

Bits &
Bits::put(guint32 value, int count)
{
  for (int i = count - 1; i >= 0; --i) {
    if (used_ == 0) data_.push_back(0);
    if ((value >> i) & 1) data_.back() |= static_cast<guint8>(0x80 >> used_);
    used_ = (used_ + 1) % 8;
  }
  return *this;
}

Bits &
Bits::ue(guint32 value)
{
  const guint64 v = static_cast<guint64>(value) + 1;
  int n = 0;
  while ((v >> n) > 1) ++n;
  put(0, n);
  for (int i = n; i >= 0; --i) put((v >> i) & 1, 1);
  return *this;
}

namespace {

// rbsp_trailing_bits, then emulation prevention after the `header_bytes` NAL header.
Bytes
nal_unit(Bits &w, guint header_bytes)
{
  const Bytes rbsp = w.rbsp();
  return nal::add_emulation_prevention(rbsp.data(), rbsp.size(), header_bytes);
}

Bytes
start_code(guint8 code)
{
  return {0x00, 0x00, 0x01, code};
}

}  // namespace

namespace h264 {

Bytes
sps(bool frame_mbs_only)
{
  Bits w;
  w.put(0x67, 8).put(77, 8).put(0, 8).put(30, 8);  // header, Main, constraints, level 3
  // seq_parameter_set_id, log2_max_frame_num_minus4, poc type 0, log2_max_poc_lsb - 4,
  // max_num_ref_frames 1, no gaps, width 160.
  w.ue(0).ue(0).ue(0).ue(0).ue(1).put(0, 1).ue(9);
  // Height 128 in map units: field pairs count map units of two macroblock rows.
  w.ue(frame_mbs_only ? 7 : 3).put(frame_mbs_only ? 1 : 0, 1);
  if (!frame_mbs_only) w.put(0, 1);  // mb_adaptive_frame_field_flag
  w.put(0b100, 3);  // direct_8x8_inference_flag, no cropping, no VUI
  return nal_unit(w, 1);
}

Bytes
pps()
{
  Bits w;
  w.put(0x68, 8).ue(0).ue(0);       // header, pps id, sps id
  w.put(0, 2).ue(0).ue(0).ue(0).put(0, 3);  // CAVLC, no bottom_field_pic_order, one slice group
  w.se(0).se(0).se(0).put(0b100, 3);           // qp, qs, chroma offset
  return nal_unit(w, 1);
}

Bytes
slice(bool idr, Picture picture, bool interlaced_sps)
{
  Bits w;
  // first_mb_in_slice, slice_type I or P (all), pps id, frame_num
  w.put(idr ? 0x65 : 0x41, 8).ue(0).ue(idr ? 7 : 5).ue(0).put(0, 4);
  if (interlaced_sps) w.put(picture != Picture::kFrame, 1);  // field_pic_flag
  if (interlaced_sps && picture != Picture::kFrame) w.put(picture == Picture::kBottomField, 1);
  w.put(0xA5A5, 16);  // stands in for the rest of the slice
  return nal_unit(w, 1);
}

Bytes
unit(guint8 type, std::initializer_list<guint8> payload)
{
  return Bytes{type} + Bytes(payload);
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
  const Bytes head = {1, sps[1], sps[2], sps[3], guint8(0xFC | (length_size - 1)), 0xE1};
  return head + access_unit({sps}, 2) + Bytes{1} + access_unit({pps}, 2);
}

Bytes
build_sps(const SpsSpec &spec)
{
  Bits w;
  w.put(spec.header, 8).put(spec.profile_idc, 8).put(spec.constraint_flags, 8).put(30, 8);
  w.ue(0);  // seq_parameter_set_id
  if (spec.profile_idc >= 100) {
    w.ue(spec.chroma_format_idc);
    if (spec.chroma_format_idc == 3) w.put(0, 1);
    w.ue(0).ue(0);  // bit depths
    w.put(0, 1).put(spec.lists ? 1 : 0, 1);
    for (const Bytes &list : spec.lists ? *spec.lists : std::vector<Bytes>{}) {
      w.put(list.empty() ? 0 : 1, 1);
      // delta_scale in [-128, 127]: the difference modulo 256.
      for (gint i = 0, last = 8; i < gint(list.size()); last = list[i++])
        w.se(((list[i] - last + 128) & 0xFF) - 128);
    }
  }
  w.ue(0).ue(1).put(0, 1);  // log2_max_frame_num_minus4, poc type 1, delta_pic_order_always_zero
  w.se(-3).se(2);                // offset_for_non_ref_pic, offset_for_top_to_bottom_field
  w.ue(2).se(5).se(-7);          // num_ref_frames_in_pic_order_cnt_cycle and offsets
  w.ue(spec.num_ref_frames).put(0, 1).ue(10).ue(8);  // 176x144
  w.put(0b11, 2);  // frame_mbs_only_flag, direct_8x8_inference_flag
  w.put(1, 1).ue(0).ue(2).ue(0).ue(1);  // frame cropping
  w.put(spec.vui ? 1 : 0, 1);
  if (spec.vui) {
    w.put(1, 1).put(1, 8).put(0, 3);  // aspect ratio 1:1; overscan, video signal, chroma location
    // Timing; no HRD, pic_struct or bitstream restriction.
    w.put(1, 1).put(1, 32).put(50, 32).put(1, 1).put(0, 4);
  }
  return nal_unit(w, 1);
}

}  // namespace h264

namespace h265 {

namespace {

// Main (space 0, tier 0), compatible with Main and Main 10; progressive, not interlaced,
// packed, frame only; 43 reserved bits and one more.
void
profile(Bits &w)
{
  w.put(1, 8).put(0x60000000, 32).put(0b1001, 4).put(0, 32).put(0, 12);
}

void
profile_tier_level(Bits &w, guint max_sub_layers_minus1)
{
  profile(w);
  w.put(60, 8);  // general_level_idc: level 2
  for (guint i = 0; i < max_sub_layers_minus1; ++i) w.put(i % 2 == 0 ? 0b11 : 0b01, 2);
  if (max_sub_layers_minus1 > 0)
    for (guint i = max_sub_layers_minus1; i < 8; ++i) w.put(0, 2);
  for (guint i = 0; i < max_sub_layers_minus1; ++i) {
    if (i % 2 == 0) profile(w);
    w.put(30 + 3 * i, 8);
  }
}

void
scaling_list_data(Bits &w)
{
  for (guint size_id = 0; size_id < 4; ++size_id) {
    for (guint matrix_id = 0; matrix_id < 6; matrix_id += size_id == 3 ? 3 : 1) {
      if (matrix_id % 2 == 1) {
        w.put(0, 1).ue(1);  // scaling_list_pred_mode_flag 0: a copy of the previous matrix
        continue;
      }
      w.put(1, 1);
      const guint coefs = MIN(64u, 1u << (4 + 2 * size_id));
      if (size_id > 1) w.se(8 + matrix_id);  // dc 16 + matrix_id
      w.se(8 + matrix_id);
      for (guint i = 1; i < coefs; ++i) w.se(i % 2 ? 1 : -1);
    }
  }
}

void
st_ref_pic_sets(Bits &w, bool inter)
{
  w.ue(inter ? 3 : 2);
  // Set 0: two pictures before (used, unused), one after (used).
  w.ue(2).ue(1).ue(0).put(1, 1).ue(1).put(0, 1).ue(0).put(1, 1);
  if (!inter) {
    w.put(0, 1).ue(1).ue(0).ue(3).put(1, 1);  // not predicted: one picture before
    return;
  }
  // Set 1 from set 0 shifted by -1 (delta_rps_sign 1, abs_delta_rps_minus1 0): its four entries
  // (three pictures and the set's own picture), some unused, one dropped.
  w.put(1, 1).put(1, 1).ue(0).put(1, 1).put(0b01, 2).put(0b00, 2).put(1, 1);
  // Set 2 from set 1 shifted by +1: -1 lands on the current picture (skipped by the
  // derivation), -2 becomes -1, -3 is dropped, and +1 is added.
  w.put(1, 1).put(0, 1).ue(0).put(0b01, 2).put(1, 1).put(0b00, 2).put(1, 1);
}

void
hrd_parameters(Bits &w, guint max_sub_layers_minus1)
{
  // NAL HRD, no VCL HRD, sub-picture parameters, then their fields.
  w.put(0b101, 3).put(10, 8).put(3, 5).put(1, 1).put(4, 5);
  w.put(1, 4).put(2, 4).put(3, 4).put(23, 5).put(15, 5).put(5, 5);
  for (guint i = 0; i <= max_sub_layers_minus1; ++i) {
    // Even sub-layers: fixed_pic_rate_general_flag and one CPB; odd ones: the fixed rate
    // general, within CVS and low delay flags all 0 and two CPBs.
    const guint cpb_cnt_minus1 = i % 2;
    if (i % 2 == 0) w.put(1, 1).ue(i).ue(cpb_cnt_minus1);
    else w.put(0, 3).ue(cpb_cnt_minus1);
    for (guint j = 0; j <= cpb_cnt_minus1; ++j)
      w.ue(1000 + 10 * i + j).ue(2000 + j).ue(300 + j).ue(400 + i).put(j % 2, 1);
  }
}

void
vui(Bits &w, const SpsSpec &spec)
{
  w.put(1, 1).put(1, 8).put(0b11, 2);  // aspect ratio 1:1, overscan
  w.put(1, 1).put(5, 3).put(0, 1).put(1, 1).put(0x010101, 24);  // video signal type
  // Chroma location; no neutral chroma, field_seq or frame_field_info; a display window.
  w.put(1, 1).ue(1).ue(1).put(0b0001, 4).ue(0).ue(2).ue(0).ue(2);
  w.put(1, 1).put(1, 32).put(25, 32).put(1, 1).ue(0);  // timing, POC proportional
  w.put(spec.hrd, 1);
  if (spec.hrd) hrd_parameters(w, spec.max_sub_layers_minus1);
  w.put(0b1011, 4);  // bitstream_restriction_flag and its flags
  for (guint v : {0u, 2u, 1u, 15u, 15u}) w.ue(v);
}

}  // namespace

BuiltSps
build_sps(const SpsSpec &spec)
{
  Bits w;
  // nal_unit_type 33, layer 0, temporal id 0; VPS 0, temporal id nesting.
  w.put(0x4201, 16).put(0, 4).put(spec.max_sub_layers_minus1, 3).put(1, 1);
  profile_tier_level(w, spec.max_sub_layers_minus1);
  w.ue(spec.id).ue(1).ue(64).ue(64).put(spec.conformance_window, 1);  // 4:2:0, 64x64
  if (spec.conformance_window)
    for (guint v : {0u, 2u, 0u, 4u}) w.ue(v);
  // Bit depths 8, 8-bit picture order count lsb, sps_sub_layer_ordering_info_present_flag.
  w.ue(0).ue(0).ue(4).put(1, 1);
  for (guint i = 0; i <= spec.max_sub_layers_minus1; ++i) w.ue(4).ue(2).ue(i);
  for (guint v : {0u, 1u, 0u, 2u, 1u, 1u}) w.ue(v);  // 8..16 CU, 4..16 TU
  w.put(spec.scaling_lists, 1);
  if (spec.scaling_lists) scaling_list_data(w.put(1, 1));
  w.put(0b11, 2).put(spec.pcm, 1);  // amp, sample adaptive offset
  if (spec.pcm) w.put(7, 4).put(7, 4).ue(0).ue(1).put(1, 1);
  st_ref_pic_sets(w, spec.inter_rps);
  w.put(spec.long_term_refs > 0, 1);
  if (spec.long_term_refs > 0) {
    w.ue(spec.long_term_refs);
    for (guint i = 0; i < spec.long_term_refs; ++i)
      w.put(spec.zero_long_term_lsb ? 0 : 3 * i + 1, 8).put(spec.zero_long_term_lsb ? 0 : i % 2, 1);
  }
  w.put(0b11, 2);  // temporal mvp, strong intra smoothing
  BuiltSps built{};
  built.vui_flag_bit = w.size_bits();
  w.put(spec.vui, 1);
  if (spec.vui) vui(w, spec);
  w.put(spec.extension, 1);
  if (spec.extension) w.put(0b1000, 4).put(0, 4).put(0, 9);  // range extension only, its flags
  built.nal = nal_unit(w, 2);
  return built;
}

Bytes
build_vps(guint8 id)
{
  Bits w;
  // Base layer internal and available, one layer, one sub-layer, temporal id nesting.
  w.put(0x4001, 16).put(id, 4).put(0b11, 2).put(0, 6).put(0, 3).put(1, 1).put(0xFFFF, 16);
  profile_tier_level(w, 0);
  // Sub-layer ordering info; vps_max_layer_id, one layer set, no timing, no extension.
  w.put(1, 1).ue(4).ue(2).ue(0).put(0, 6).ue(0).put(0, 2);
  return nal_unit(w, 2);
}

Bytes
build_pps(guint8 id, guint8 sps_id)
{
  Bits w;
  w.put(0x4401, 16).ue(id).ue(sps_id).put(0x5A, 8);
  return nal_unit(w, 2);
}

}  // namespace h265

namespace bitstream {

Bytes
mpeg2_picture(const Mpeg2PictureSpec &spec)
{
  Bytes out;
  if (spec.sequence) {
    Bits b;  // 64x64, square pixels, constrained
    b.put(64, 12).put(64, 12).put(1, 4).put(spec.frame_rate_code, 4);
    b.put(0x3ffff, 18).put(1, 1).put(112, 10).put(0, 3);
    out = start_code(0xB3) + b.bytes();
    if (spec.mpeg2) {
      Bits e;  // sequence extension: main profile, main level, 4:2:0
      e.put(1, 4).put(0x48, 8).put(spec.progressive_sequence, 1).put(1, 2).put(0, 4);
      e.put(0, 12).put(1, 1).put(0, 13);
      out = out + start_code(0xB5) + e.bytes();
    }
  }
  Bits p;
  p.put(0, 10).put(spec.type, 3).put(0xffff, 16);  // temporal_reference 0, vbv_delay
  if (spec.type == kP || spec.type == kB) p.put(7, 4);
  if (spec.type == kB) p.put(7, 4);
  p.put(0, 1);  // extra_bit_picture
  Bytes header = p.bytes();
  header.resize(MAX(header.size(), 4u));
  out = out + start_code(0x00) + header;
  if (spec.mpeg2) {
    Bits c;  // picture coding extension: frame picture, frame DCT, alternate scan off
    c.put(8, 4).put(0xffff, 16).put(0, 2).put(3, 2).put(spec.top_field_first, 1).put(1, 1);
    c.put(0, 4).put(spec.repeat_first_field, 1).put(1, 1).put(spec.progressive_frame, 1).put(0, 1);
    out = out + start_code(0xB5) + c.bytes();
  }
  return out + start_code(0x01) + Bytes{0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc};
}

Bytes
mpeg4_vol(int time_increment_resolution, int width, int height)
{
  Bits b;
  b.put(0, 1).put(1, 8).put(0, 1).put(1, 4).put(0, 1);  // type, no id, square pixels, no params
  b.put(0, 2).put(1, 1).put(time_increment_resolution, 16).put(1, 1).put(0, 1);
  b.put(1, 1).put(width, 13).put(1, 1).put(height, 13).put(1, 1);
  b.put(0, 1).put(1, 1).put(0, 1).put(0, 1).put(0, 1);  // interlaced obmc sprite not8bit quant
  b.put(1, 1).put(1, 1).put(0, 1).put(0, 1);  // complexity off, no resync, no partitions, scal.
  b.put(0x7f, 8);                             // stuffing
  return start_code(0x20) + b.bytes();
}

Bytes
mpeg4_vop(int coding_type, bool coded, int time_increment_bits, size_t payload)
{
  Bits b;
  b.put(coding_type, 2).put(0, 1).put(1, 1).put(0, time_increment_bits).put(1, 1).put(coded, 1);
  Bytes out = start_code(0xB6) + b.bytes();
  for (size_t i = 0; i < payload; ++i) out.push_back(static_cast<guint8>(0x55 + i));
  return out;
}

}  // namespace bitstream

namespace vc1_stream {

namespace {

// Start code, the fields written so far, the BDU flushing bits (a one, then zeros to the byte
// boundary, Annex E.2), then `filler` bytes; emulation prevention applied.
Bytes
vc1_unit(Bits &w, guint8 suffix, const Bytes &filler = {})
{
  const Bytes unit = Bytes{0, 0, 1, suffix} + w.rbsp() + filler;
  return nal::add_emulation_prevention(unit.data(), unit.size(), 4);
}

// Raw-mode bitplane (SMPTE 421M 8.7.1): INVERT 0, IMODE 0000; the bits live in the MB layer.
constexpr int kRawBitplane = 1 + 4;

Bytes
filler(gsize size, guint8 seed, bool emulation)
{
  Bytes out(size);
  for (gsize i = 0; i < size; ++i) out[i] = static_cast<guint8>((seed * 37 + i * 13) | 0x80);
  // Runs of zeros followed by small values: each needs an emulation-prevention byte.
  if (emulation)
    for (gsize i = 0; i + 3 < size; i += 7) out[i] = out[i + 1] = 0, out[i + 2] = guint8(i % 4);
  return out;
}

constexpr guint kPqindex = 10;  // above 8: no HALFQP, no CONDOVER

constexpr int kIntraTail = 3;              // TRANSACFRM, TRANSACFRM2, TRANSDCTAB
constexpr int kInterTail = 2 + 2 + 1 + 1;  // MVTAB, CBPTAB, TRANSACFRM, TRANSDCTAB

}  // namespace

// SMPTE 421M 6.1.
Bytes
sequence_header(const SequenceHeader &seq)
{
  Bits w;
  // PROFILE advanced, LEVEL 1, 4:2:0, FRMRTQ_POSTPROC 7, BITRTQ_POSTPROC 31, no POSTPROCFLAG.
  w.put(3, 2).put(1, 3).put(1, 2).put(7, 3).put(31, 5).put(0, 1);
  w.put(seq.width / 2 - 1, 12).put(seq.height / 2 - 1, 12);
  w.put(0, 1).flag(seq.interlace);  // PULLDOWN
  w.put(0b0010, 4);  // TFCNTRFLAG, FINTERPFLAG, reserved 1, PSF
  w.flag(seq.display_ext);
  if (seq.display_ext) {
    w.put(seq.display_width - 1, 14).put(seq.display_height - 1, 14).flag(seq.aspect_ratio_flag);
    if (seq.aspect_ratio_flag) {
      w.put(seq.aspect_ratio, 4);
      if (seq.aspect_ratio == 15) w.put(seq.aspect_width - 1, 8).put(seq.aspect_height - 1, 8);
    }
    w.flag(seq.framerate_flag);
    if (seq.framerate_flag) {
      w.flag(seq.framerate_ind);
      if (!seq.framerate_ind)
        w.put(seq.frameratenr, 8).put(seq.frameratedr, 4);
      else
        w.put(seq.framerate_exp, 16);
    }
    w.put(0, 1);  // COLOR_FORMAT_FLAG
  }
  w.put(0, 1);  // HRD_PARAM_FLAG
  return vc1_unit(w, 0x0F);
}

// SMPTE 421M 6.2; without HRD parameters in the sequence header there are no HRD_FULL fields.
Bytes
entry_point(const SequenceHeader &, const EntryPoint &ep)
{
  Bits w;
  w.put(0, 1).flag(ep.closed_entry).put(0, 1);  // BROKEN_LINK, PANSCAN_FLAG
  w.flag(ep.refdist_flag).flag(ep.loopfilter);
  // FASTUVMC, EXTENDED_MV, DQUANT, VSTRANSFORM, OVERLAP, QUANTIZER; CODED_SIZE_FLAG,
  // RANGE_MAPY_FLAG, RANGE_MAPUV_FLAG.
  w.put(0, 2 + 2 + 1 + 1 + 2 + 3);
  return vc1_unit(w, 0x0E);
}

// SMPTE 421M 7.1.1 picture headers, advanced profile.
Bytes
frame(const SequenceHeader &seq, const EntryPoint &ep, const FrameSpec &spec)
{
  Bits w;
  // FCM (SMPTE 421M 7.1.1.1) and PTYPE (7.1.1.4) codes in the order of the enumerations.
  using Code = std::pair<guint32, int>;
  constexpr Code kFcm[] = {{0b0, 1}, {0b10, 2}, {0b11, 2}},
                 kPtype[] = {{0b110, 3}, {0b0, 1}, {0b10, 2}, {0b1110, 4}, {0b1111, 4}};
  auto code = [&w](Code c) { w.put(c.first, c.second); };
  if (seq.interlace) code(kFcm[static_cast<int>(spec.coding)]);
  const bool field_coded = seq.interlace && spec.coding == Coding::kFieldInterlace;
  code(field_coded ? Code{spec.fptype, 3} : kPtype[static_cast<int>(spec.type)]);
  if (!field_coded && spec.type == Picture::kSkipped)
    return vc1_unit(w, 0x0D, filler(spec.payload, spec.seed, spec.emulation));

  w.put(0, 1);                     // RNDCTRL
  if (seq.interlace) w.put(0, 1);  // UVSAMP
  if (field_coded) {
    if (ep.refdist_flag && spec.fptype <= 3) w.put(0, 2);  // REFDIST
    if (spec.fptype >= 4) w.put(0, 3);                     // BFRACTION 1/2
    // Field picture layer of the first field (7.1.1.x): PQINDEX and on.
    w.put(kPqindex, 5);
    // ACPRED for intra fields; NUMREF, REFFIELD, MVMODE, MBMODETAB for the others.
    w.put(0, spec.fptype <= 2 ? kRawBitplane + kIntraTail : 1 + 1 + 3 + 3 + kInterTail);
  } else {
    if (spec.type == Picture::kB && spec.coding == Coding::kProgressive)
      w.put(0, 3);  // BFRACTION 1/2
    w.put(kPqindex, 5);
    const bool intra = spec.type == Picture::kI || spec.type == Picture::kBI;
    if (intra) {
      if (spec.coding == Coding::kFrameInterlace) w.put(0, kRawBitplane);  // FIELDTX
      w.put(0, kRawBitplane + kIntraTail);                                 // ACPRED
    } else {
      // MVMODE 1MV for P; for B MVMODE 0 and the DIRECTMB bitplane. Then SKIPMB.
      const bool p = spec.type == Picture::kP;
      w.put(p, p ? 1 : 1 + kRawBitplane).put(0, kRawBitplane + kInterTail);
    }
  }
  return vc1_unit(w, 0x0D, filler(spec.payload, spec.seed, spec.emulation));
}

Bytes
field(gsize payload, guint8 seed)
{
  Bits w;
  w.put(kPqindex, 5).put(0, kRawBitplane);
  return vc1_unit(w, 0x0C, filler(payload, seed, false));
}

Bytes
slice(guint slice_address, gsize payload, guint8 seed)
{
  Bits w;
  w.put(slice_address, 9).put(0, 1);  // SLICE_ADDR, PIC_HEADER_FLAG
  return vc1_unit(w, 0x0B, filler(payload, seed, false));
}

Bytes
user_data(guint8 type, gsize payload)
{
  Bytes unit = {0, 0, 1, type};
  for (gsize i = 0; i < payload; ++i) unit.push_back(static_cast<guint8>('a' + i % 26));
  return unit + Bytes{0x80};  // flushing byte
}

}  // namespace vc1_stream

Bytes
build_loas_frame(const LoasFrame &f)
{
  Bits w;
  auto put = [&w](guint32 v, int n) { w.put(v, n); };
  put(0x2B7 << 13, 24);  // audioMuxLengthBytes patched below
  put(f.use_same_stream_mux, 1);
  if (!f.use_same_stream_mux) {
    put(f.audio_mux_version, 1);
    if (f.audio_mux_version) put(f.audio_mux_version_a, 1);
    if (f.audio_mux_version && !f.audio_mux_version_a) put(0, 2);
    if (!f.audio_mux_version) {
      put(1 << 6, 7);  // allStreamsSameTimeFraming, numSubFrames
      put(f.num_program, 4), put(f.num_layer, 3);
      for (const auto &[value, bits] : f.asc) put(value, bits);
      put(f.frame_length_type, 3);
      // latmBufferFullness, frameLength, CELP or HVXC table indices.
      constexpr int kBits[] = {8, 9, 0, 6, 6, 6, 1, 1};
      put(f.frame_length_type == 0 ? 0xFF : f.frame_length_type == 1 ? f.frame_length : 0,
          kBits[f.frame_length_type & 7]);
      put(f.other_data, 1);
      if (f.other_data) put(0x112, 9), put(0x34, 9);  // two otherDataLen bytes
      put(f.crc, 1);
      if (f.crc) put(0xA5, 8);
    }
  }
  if (!f.audio_mux_version_a) {
    if (f.frame_length_type == 0) {
      gsize left = f.payload.size();
      for (; left >= 255; left -= 255) put(255, 8);
      put(left, 8);
    } else if (f.frame_length_type == 3 || f.frame_length_type == 5 || f.frame_length_type == 7)
      put(0, 2);  // MuxSlotLengthCoded
    for (guint8 b : f.payload) put(b, 8);
  }
  Bytes out = w.bytes();
  out.resize(out.size() + f.trailing);
  const gsize length = out.size() - 3;
  out[1] = (out[1] & 0xE0) | ((length >> 8) & 0x1F), out[2] = length & 0xFF;
  return out;
}

std::vector<Bytes>
split_loas_stream(const Bytes &stream)
{
  std::vector<Bytes> frames;
  for (gsize pos = 0, len; pos + 3 <= stream.size(); pos += len) {
    len = 3 + (((stream[pos + 1] & 0x1F) << 8) | stream[pos + 2]);
    if (pos + len > stream.size()) break;
    frames.emplace_back(stream.begin() + pos, stream.begin() + pos + len);
  }
  return frames;
}

}  // namespace testsupport
