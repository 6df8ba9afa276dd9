// Walking NAL units of length-prefixed (AVC/HEVC) access units and byte streams, and
// emulation-prevention handling. Plain functions over bytes, safe for any input.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nal {

struct Unit {
  gsize prefix_offset;  // offset of the length prefix (or start code) in the buffer
  gsize offset;         // offset of the first NAL byte (the header)
  gsize size;           // NAL unit size in bytes, after clamping
  bool clamped;         // the declared length ran past the end of the data
};

// What happens when a declared length runs past the end of the data.
enum class Overrun {
  kClamp,  // the unit is cut at the end of the data and the walk ends after it
  kStop,   // the walk ends without yielding that unit
};

// Iterates the NAL units of length-prefixed data. The walk continues while at least
// length_size + min_payload bytes remain; a length_size outside 1..4 yields nothing.
class LengthPrefixedWalker {
 public:
  LengthPrefixedWalker(const guint8 *data, gsize size, guint length_size,
                       Overrun overrun = Overrun::kClamp, gsize min_payload = 1);
  bool next(Unit *unit);
  // Offset of the first byte not consumed by the walk so far.
  gsize position() const { return pos_; }

 private:
  const guint8 *data_;
  gsize size_;
  guint length_size_;
  Overrun overrun_;
  gsize min_payload_;
  gsize pos_ = 0;
  bool done_ = false;
};

// Reads a big-endian length of `length_size` (1..4) bytes; the caller checks the bounds.
guint32 read_length(const guint8 *p, guint length_size);
// Appends `value` as a big-endian prefix of `length_size` bytes (1..4; nothing otherwise).
void append_length(std::vector<guint8> &out, guint32 value, guint length_size);

// Finds the next 00 00 01 start code at or after `from`. Returns its offset (of the first 00),
// or `size` if there is none. `*zero_prefix` tells whether a fourth 00 byte precedes it.
gsize find_start_code(const guint8 *data, gsize size, gsize from, bool *zero_prefix = nullptr);

// Iterates NAL units of an Annex B byte stream: each unit runs from after its start code to the
// next start code (trailing zero bytes of a 4-byte start code excluded) or the end.
class ByteStreamWalker {
 public:
  ByteStreamWalker(const guint8 *data, gsize size);
  bool next(Unit *unit);

 private:
  const guint8 *data_;
  gsize size_;
  gsize next_sc_;
};

// Removes emulation-prevention bytes (00 00 03 -> 00 00), H.264/H.265 clause 7.4.1.
std::vector<guint8> remove_emulation_prevention(const guint8 *data, gsize size);
// The same into a caller's array, for reading a header without allocating: stops when `out`
// is full. Returns the number of bytes written.
gsize remove_emulation_prevention(const guint8 *data, gsize size, guint8 *out, gsize capacity);
// Inserts emulation-prevention bytes wherever 00 00 is followed by a byte <= 3. The first
// `header_bytes` bytes are copied unchanged.
std::vector<guint8> add_emulation_prevention(const guint8 *data, gsize size,
                                             gsize header_bytes = 0);

}  // namespace nal
