// Hand-built bitstream units for tests, for the syntax no encoder here produces: H.264 field
// pictures and odd SPS, H.265 sub-layers/scaling lists/HRD, MPEG-1/2 and MPEG-4 Part 2 headers
// with exact field control, VC-1 advanced profile (no VC-1 encoder exists) and LOAS frames.
// Everything is written with one MSB-first writer, `Bits`.
#pragma once

#include <glib.h>

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace testsupport {

using Bytes = std::vector<guint8>;

inline void
append(Bytes &out, const Bytes &more)
{
  out.insert(out.end(), more.begin(), more.end());
}
inline Bytes operator+(Bytes a, const Bytes &b) { return append(a, b), a; }

// MSB-first bit packing with the Exp-Golomb codes of H.264/H.265.
class Bits {
 public:
  Bits &put(guint32 value, int count);
  Bits &flag(bool value) { return put(value ? 1 : 0, 1); }
  Bits &ue(guint32 value);
  Bits &se(gint32 v) { return ue(v > 0 ? 2 * guint32(v) - 1 : 2 * guint32(-v)); }
  gsize size_bits() const { return data_.size() * 8 - (used_ ? 8 - used_ : 0); }
  // Pads with zero bits to the next byte boundary and returns the bytes.
  Bytes bytes() const { return data_; }
  // rbsp_trailing_bits (a one, then zeros to the byte boundary).
  Bytes rbsp() {
    put(1, 1);
    return data_;
  }

 private:
  Bytes data_;
  int used_ = 0;  // bits used in the last byte
};

namespace h264 {

using testsupport::Bytes;

enum class Picture { kFrame, kTopField, kBottomField };

// SPS (7.3.2.1.1), Main profile, id 0, 160x128 luma, log2_max_frame_num 4, no VUI.
// frame_mbs_only false makes field pictures possible.
Bytes sps(bool frame_mbs_only = true);
// PPS (7.3.2.2) with id 0 referring to SPS 0.
Bytes pps();
// A slice (NAL type 5 for IDR, else 1) whose header announces `picture`; `interlaced_sps`
// tells whether the SPS it refers to has frame_mbs_only_flag 0. The slice data is filler.
Bytes slice(bool idr, Picture picture = Picture::kFrame, bool interlaced_sps = false);
// A NAL unit of the given header byte and payload.
Bytes unit(guint8 type, std::initializer_list<guint8> payload = {0x80});

// Length-prefixed access unit.
Bytes access_unit(const std::vector<Bytes> &units, guint length_size = 4);
// AVC decoder configuration record (ISO/IEC 14496-15 5.3.3.1) with one SPS and one PPS.
Bytes codec_data(const Bytes &sps, const Bytes &pps, guint length_size = 4);

// An SPS (H.264 7.3.2.1.1) of 176x144 with picture order count type 1 and frame cropping.
struct SpsSpec {
  guint8 header = 0x67, profile_idc = 100;
  guint8 constraint_flags = 0;  // constraint_set0..5 and reserved_zero_2bits
  guint8 chroma_format_idc = 1;
  const std::vector<Bytes> *lists = nullptr;  // 8 or 12 lists, scan order
  guint32 num_ref_frames = 4;
  bool vui = false;  // a VUI with aspect ratio 1:1 and timing info
};
// The SPS NAL unit, header byte first, emulation prevention applied.
Bytes build_sps(const SpsSpec &spec);

}  // namespace h264

namespace h265 {

using testsupport::Bytes;

// An SPS (H.265 7.3.2.2.1) of 64x64 (before cropping), 4:2:0, 8-bit.
struct SpsSpec {
  guint8 id = 0;
  guint8 max_sub_layers_minus1 = 0;  // sub-layers alternate profile and level information
  bool conformance_window = false;
  bool scaling_lists = false;     // explicit and predicted lists
  bool pcm = false, inter_rps = false;  // inter_rps: three short-term sets, the last two predicted
  guint long_term_refs = 0;
  bool zero_long_term_lsb = false;  // long-term entries of all-zero bits (forces escapes)
  bool vui = false;               // aspect ratio 1:1, signal type, timing, restrictions, ...
  bool hrd = false;               // with vui: NAL HRD with sub-picture parameters
  bool extension = false;         // sps_extension_present_flag with a range extension
};

struct BuiltSps {
  Bytes nal;             // header first, emulation prevention applied
  guint vui_flag_bit;    // position of vui_parameters_present_flag in the unescaped bits
};
BuiltSps build_sps(const SpsSpec &spec);

// A VPS (H.265 7.3.2.1) with the given id and one sub-layer.
Bytes build_vps(guint8 id = 0);
// A PPS (H.265 7.3.2.3.1) with the given ids; its other fields are not meant to be decoded.
Bytes build_pps(guint8 id, guint8 sps_id = 0);

}  // namespace h265

namespace bitstream {

using testsupport::Bits;
using testsupport::Bytes;
using testsupport::operator+;

enum Mpeg2Picture { kI = 1, kP = 2, kB = 3, kD = 4 };
// One picture as a parser delivers it (ISO/IEC 13818-2 6.2.2 and 6.2.3, start codes included):
// optional sequence headers, picture header, picture coding extension (MPEG-2 only) and a slice.
struct Mpeg2PictureSpec {
  int type = kI;
  bool sequence = false;    // prepend sequence header (+ extension when mpeg2)
  int frame_rate_code = 3;  // 25 fps
  bool mpeg2 = true, progressive_sequence = true;
  bool top_field_first = false, repeat_first_field = false, progressive_frame = true;
};
Bytes mpeg2_picture(const Mpeg2PictureSpec &spec);

// ISO/IEC 14496-2 6.2.3: a rectangular VOL with the given vop_time_increment_resolution.
Bytes mpeg4_vol(int time_increment_resolution = 25, int width = 64, int height = 64);
// A VOP header (6.2.5) followed by `payload` filler bytes. `time_increment_bits` must match
// the VOL (GStreamer derives it as the bit length of the resolution).
Bytes mpeg4_vop(int coding_type, bool coded, int time_increment_bits = 5, size_t payload = 16);

}  // namespace bitstream

// VC-1 advanced profile (SMPTE 421M). Every unit starts with its 00 00 01 xx start code and
// carries emulation-prevention bytes (Annex E).
namespace vc1_stream {

using testsupport::Bytes;

// Only the fields the parsers read vary; the others are fixed (level 1, no post-processing,
// pull-down, frame counters, interpolation, PSF, colour format or HRD).
struct SequenceHeader {
  guint width = 64, height = 64;  // coded size, even
  bool interlace = false, display_ext = false;
  guint display_width = 0, display_height = 0;
  bool aspect_ratio_flag = false;
  guint aspect_ratio = 1, aspect_width = 0, aspect_height = 0;  // 15: explicit width / height
  // framerate_ind false: frameratenr (2: 25000) / frameratedr (1: 1000); true: framerate_exp.
  bool framerate_flag = false, framerate_ind = false;
  guint frameratenr = 2, frameratedr = 1, framerate_exp = 0;
};

// The other entry-point flags are 0 (no pan-scan, extended MVs, DQUANT, VSTRANSFORM, OVERLAP,
// explicit quantizer).
struct EntryPoint {
  bool closed_entry = true, refdist_flag = false, loopfilter = false;
};

enum class Coding { kProgressive, kFrameInterlace, kFieldInterlace };
enum class Picture { kI, kP, kB, kBI, kSkipped };

struct FrameSpec {
  Coding coding = Coding::kProgressive;
  Picture type = Picture::kI;
  guint fptype = 0;        // field interlace: both fields' types, SMPTE 421M Table 105
  gsize payload = 40;      // filler bytes after the header
  guint8 seed = 1;         // varies the filler
  bool emulation = false;  // filler full of zero runs that need emulation prevention
};

Bytes sequence_header(const SequenceHeader &seq);
Bytes entry_point(const SequenceHeader &seq, const EntryPoint &ep = {});
Bytes frame(const SequenceHeader &seq, const EntryPoint &ep, const FrameSpec &spec);
// Second field of a field-interlaced frame.
Bytes field(gsize payload = 24, guint8 seed = 7);
Bytes slice(guint slice_address = 1, gsize payload = 24, guint8 seed = 9);
// User data unit of start-code suffix `type` (0x1B to 0x1F).
Bytes user_data(guint8 type, gsize payload = 8);
using testsupport::append;

}  // namespace vc1_stream

// LOAS frames (AudioSyncStream + AudioMuxElement, ISO/IEC 14496-3 1.7).
struct LoasFrame {
  bool use_same_stream_mux = false;
  int audio_mux_version = 0, audio_mux_version_a = 0, num_program = 0, num_layer = 0;
  // AudioSpecificConfig as (value, bit count) fields; default AAC LC, 48 kHz, stereo.
  std::vector<std::pair<guint32, int>> asc = {{2, 5}, {3, 4}, {2, 4}, {0, 3}};
  int frame_length_type = 0, frame_length = 0;  // 9-bit field for frame_length_type 1
  bool other_data = false, crc = false;
  Bytes payload;
  gsize trailing = 0;  // zero bytes after the byte-aligned end
};

Bytes build_loas_frame(const LoasFrame &frame);

// The LOAS frames (AudioMuxElements with their sync layer) of a stream, split by
// audioMuxLengthBytes; stops at the first frame that runs past the end.
std::vector<Bytes> split_loas_stream(const Bytes &stream);

}  // namespace testsupport
