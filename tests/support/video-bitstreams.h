// Builders for MPEG-1/2 and MPEG-4 Part 2 headers, for tests that need exact control over the
// fields the elements read.
#pragma once

#include <glib.h>

#include <cstdint>
#include <vector>

namespace testsupport::bitstream {

using Bytes = std::vector<guint8>;

// MSB-first bit packing.
class Bits {
 public:
  Bits &put(guint32 value, int count);
  // Pads with zero bits to the next byte boundary and returns the bytes.
  Bytes bytes() const;

 private:
  Bytes data_;
  int used_ = 0;  // bits used in the last byte
};

Bytes operator+(Bytes a, const Bytes &b);

// ISO/IEC 13818-2 6.2.2.1 / 6.2.2.3 / 6.2.3 / 6.2.3.1, each with its start code.
Bytes mpeg2_sequence_header(int frame_rate_code, int width = 64, int height = 64);
Bytes mpeg2_sequence_extension(bool progressive_sequence);
enum Mpeg2Picture { kI = 1, kP = 2, kB = 3, kD = 4 };
Bytes mpeg2_picture_header(int type, int temporal_reference = 0);
Bytes mpeg2_picture_coding_extension(bool top_field_first, bool repeat_first_field,
                                     bool progressive_frame);
// A slice start code with a few bytes of payload.
Bytes mpeg2_slice();
// One picture as a parser delivers it: optional sequence headers, picture header, picture
// coding extension (MPEG-2 only) and a slice.
struct Mpeg2PictureSpec {
  int type = kI;
  bool sequence = false;  // prepend sequence header (+ extension when mpeg2)
  int frame_rate_code = 3;  // 25 fps
  bool mpeg2 = true;
  bool progressive_sequence = true;
  bool top_field_first = false;
  bool repeat_first_field = false;
  bool progressive_frame = true;
};
Bytes mpeg2_picture(const Mpeg2PictureSpec &spec);

// ISO/IEC 14496-2 6.2.3: a rectangular VOL with the given vop_time_increment_resolution.
Bytes mpeg4_vol(int time_increment_resolution = 25, int width = 64, int height = 64);
// A VOP header (6.2.5) followed by `payload` filler bytes. `time_increment_bits` must match
// the VOL (GStreamer derives it as the bit length of the resolution).
Bytes mpeg4_vop(int coding_type, bool coded, int time_increment_bits = 5, size_t payload = 16);

}  // namespace testsupport::bitstream
