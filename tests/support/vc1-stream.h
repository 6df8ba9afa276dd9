// Builds VC-1 advanced-profile bitstream data units (SMPTE 421M) with the project's bit writer:
// no VC-1 encoder is packaged, so tests write the headers themselves. Every unit starts with its
// 00 00 01 xx start code and carries emulation-prevention bytes (Annex E).
#pragma once

#include <glib.h>

#include <cstdint>
#include <vector>

namespace testsupport::vc1_stream {

using Bytes = std::vector<guint8>;

struct SequenceHeader {
  guint level = 1;
  guint width = 64;  // coded size, even
  guint height = 64;
  bool postprocflag = false;
  bool pulldown = false;
  bool interlace = false;
  bool tfcntrflag = false;
  bool finterpflag = false;
  bool psf = false;
  bool display_ext = false;
  guint display_width = 0;
  guint display_height = 0;
  bool aspect_ratio_flag = false;
  guint aspect_ratio = 1;  // 15: explicit aspect_width / aspect_height
  guint aspect_width = 0;
  guint aspect_height = 0;
  bool framerate_flag = false;
  bool framerate_ind = false;  // false: frameratenr / frameratedr; true: framerate_exp
  guint frameratenr = 2;       // 25000
  guint frameratedr = 1;       // 1000
  guint framerate_exp = 0;
};

struct EntryPoint {
  bool broken_link = false;
  bool closed_entry = true;
  bool panscan_flag = false;
  bool refdist_flag = false;
  bool loopfilter = false;
  bool fastuvmc = false;
  bool extended_mv = false;
  guint dquant = 0;
  bool vstransform = false;
  bool overlap = false;
  guint quantizer = 0;
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
// End-of-sequence unit.
Bytes end_of_sequence();

// Inserts emulation-prevention bytes into a unit's payload (everything after the start code).
Bytes add_emulation_prevention(const Bytes &unit);

void append(Bytes &out, const Bytes &more);

}  // namespace testsupport::vc1_stream
