// Builders of H.265 parameter sets for tests, for the syntax no encoder here produces
// (sub-layers, scaling lists, predicted short-term sets, long-term pictures, HRD).
#pragma once

#include <glib.h>

#include <vector>

namespace testsupport::h265 {

// An SPS (H.265 7.3.2.2.1) of 64x64 (before cropping), 4:2:0, 8-bit.
struct SpsSpec {
  guint8 id = 0;
  guint8 max_sub_layers_minus1 = 0;  // sub-layers alternate profile and level information
  bool conformance_window = false;
  bool scaling_lists = false;     // explicit and predicted lists
  bool pcm = false;
  bool inter_rps = false;         // three short-term sets, the last two predicted
  guint long_term_refs = 0;
  bool zero_long_term_lsb = false;  // long-term entries of all-zero bits (forces escapes)
  bool vui = false;               // aspect ratio 1:1, signal type, timing, restrictions, ...
  bool hrd = false;               // with vui: NAL HRD with sub-picture parameters
  bool extension = false;         // sps_extension_present_flag with a range extension
};

struct BuiltSps {
  std::vector<guint8> nal;  // header first, emulation prevention applied
  guint vui_flag_bit;       // position of vui_parameters_present_flag in the unescaped bits
};
BuiltSps build_sps(const SpsSpec &spec);

// A VPS (H.265 7.3.2.1) with the given id and one sub-layer.
std::vector<guint8> build_vps(guint8 id = 0);
// A PPS (H.265 7.3.2.3.1) with the given ids; its other fields are not meant to be decoded.
std::vector<guint8> build_pps(guint8 id, guint8 sps_id = 0);

}  // namespace testsupport::h265
