// Hand-built H.264 NAL units and AVC framing for tests, written with the project's bit
// writer: field-coded (PAFF) pictures and malformed records that no encoder here produces.
#pragma once

#include <glib.h>

#include <vector>

namespace testsupport::h264 {

using Bytes = std::vector<guint8>;

enum class Picture { kFrame, kTopField, kBottomField };

// SPS (7.3.2.1.1), Main profile, id 0, 160x128 luma, log2_max_frame_num 4, no VUI.
// frame_mbs_only false makes field pictures possible.
Bytes sps(bool frame_mbs_only = true);
// PPS (7.3.2.2) with id 0 referring to SPS 0.
Bytes pps();
// A slice (NAL type 5 for IDR, else 1) whose header announces `picture`; `interlaced_sps`
// tells whether the SPS it refers to has frame_mbs_only_flag 0. The slice data is filler.
Bytes slice(bool idr, Picture picture = Picture::kFrame, bool interlaced_sps = false);
// An access unit delimiter, an SEI-like filler unit of the given type.
Bytes unit(guint8 type, std::initializer_list<guint8> payload = {0x80});

// Length-prefixed access unit.
Bytes access_unit(const std::vector<Bytes> &units, guint length_size = 4);
// AVC decoder configuration record (ISO/IEC 14496-15 5.3.3.1) with one SPS and one PPS.
Bytes codec_data(const Bytes &sps, const Bytes &pps, guint length_size = 4);

// An SPS (H.264 7.3.2.1.1) of 176x144 with picture order count type 1 and frame cropping.
struct SpsSpec {
  guint8 header = 0x67;
  guint8 profile_idc = 100;
  guint8 constraint_flags = 0;  // constraint_set0..5 and reserved_zero_2bits
  guint8 chroma_format_idc = 1;
  const std::vector<Bytes> *lists = nullptr;  // 8 or 12 lists, scan order
  guint32 num_ref_frames = 4;
  bool vui = false;  // a VUI with aspect ratio 1:1 and timing info
};
// The SPS NAL unit, header byte first, emulation prevention applied.
Bytes build_sps(const SpsSpec &spec);

}  // namespace testsupport::h264
