#include "tests/support/video-bitstreams.h"

namespace testsupport::bitstream {

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

Bytes
Bits::bytes() const
{
  return data_;
}

Bytes
operator+(Bytes a, const Bytes &b)
{
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

namespace {

Bytes
start_code(guint8 code)
{
  return {0x00, 0x00, 0x01, code};
}

}  // namespace

Bytes
mpeg2_sequence_header(int frame_rate_code, int width, int height)
{
  Bits b;
  b.put(width, 12).put(height, 12).put(1, 4).put(frame_rate_code, 4);
  b.put(0x3ffff, 18).put(1, 1).put(112, 10).put(0, 1).put(0, 1).put(0, 1);
  return start_code(0xB3) + b.bytes();
}

Bytes
mpeg2_sequence_extension(bool progressive_sequence)
{
  Bits b;
  b.put(1, 4).put(0x48, 8).put(progressive_sequence, 1).put(1, 2).put(0, 2).put(0, 2);
  b.put(0, 12).put(1, 1).put(0, 8).put(0, 1).put(0, 2).put(0, 2);
  return start_code(0xB5) + b.bytes();
}

Bytes
mpeg2_picture_header(int type, int temporal_reference)
{
  Bits b;
  b.put(temporal_reference, 10).put(type, 3).put(0xffff, 16);
  if (type == kP || type == kB) b.put(0, 1).put(7, 3);
  if (type == kB) b.put(0, 1).put(7, 3);
  b.put(0, 1);  // extra_bit_picture
  Bytes out = b.bytes();
  while (out.size() < 4) out.push_back(0);
  return start_code(0x00) + out;
}

Bytes
mpeg2_picture_coding_extension(bool top_field_first, bool repeat_first_field,
                               bool progressive_frame)
{
  Bits b;
  b.put(8, 4).put(0xffff, 16).put(0, 2).put(3, 2).put(top_field_first, 1).put(1, 1);
  b.put(0, 1).put(0, 1).put(0, 1).put(0, 1).put(repeat_first_field, 1).put(1, 1);
  b.put(progressive_frame, 1).put(0, 1);
  return start_code(0xB5) + b.bytes();
}

Bytes
mpeg2_slice()
{
  return start_code(0x01) + Bytes{0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc};
}

Bytes
mpeg2_picture(const Mpeg2PictureSpec &spec)
{
  Bytes out;
  if (spec.sequence) {
    out = out + mpeg2_sequence_header(spec.frame_rate_code);
    if (spec.mpeg2) out = out + mpeg2_sequence_extension(spec.progressive_sequence);
  }
  out = out + mpeg2_picture_header(spec.type);
  if (spec.mpeg2)
    out = out + mpeg2_picture_coding_extension(spec.top_field_first, spec.repeat_first_field,
                                               spec.progressive_frame);
  return out + mpeg2_slice();
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
  b.put(coding_type, 2).put(0, 1).put(1, 1).put(0, time_increment_bits).put(1, 1);
  b.put(coded, 1);
  Bytes out = start_code(0xB6) + b.bytes();
  for (size_t i = 0; i < payload; ++i) out.push_back(static_cast<guint8>(0x55 + i));
  return out;
}

}  // namespace testsupport::bitstream
