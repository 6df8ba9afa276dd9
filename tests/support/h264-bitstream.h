// Builders of H.264 parameter sets for tests, for what no encoder here produces.
#pragma once

#include <glib.h>

#include <vector>

namespace testsupport::h264 {

// An SPS (H.264 7.3.2.1.1) of 176x144 with picture order count type 1 and frame cropping.
struct SpsSpec {
  guint8 header = 0x67;
  guint8 profile_idc = 100;
  guint8 constraint_flags = 0;  // constraint_set0..5 and reserved_zero_2bits
  guint8 chroma_format_idc = 1;
  const std::vector<std::vector<guint8>> *lists = nullptr;  // 8 or 12 lists, scan order
  guint32 num_ref_frames = 4;
  bool vui = false;  // a VUI with aspect ratio 1:1 and timing info
};
// The SPS NAL unit, header byte first, emulation prevention applied.
std::vector<guint8> build_sps(const SpsSpec &spec);

}  // namespace testsupport::h264
