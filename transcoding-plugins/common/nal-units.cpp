#include "transcoding-plugins/common/nal-units.h"

#include <cstring>

namespace nal {

guint32
read_length(const guint8 *p, guint length_size)
{
  guint32 v = 0;
  for (guint i = 0; i < length_size; ++i) v = (v << 8) | p[i];
  return v;
}

void
append_length(std::vector<guint8> &out, guint32 value, guint length_size)
{
  if (length_size < 1 || length_size > 4) return;
  for (guint i = length_size; i-- > 0;) out.push_back(static_cast<guint8>(value >> (8 * i)));
}

LengthPrefixedWalker::LengthPrefixedWalker(const guint8 *data, gsize size, guint length_size,
                                           Overrun overrun, gsize min_payload)
    : data_(data),
      size_(data ? size : 0),
      length_size_(length_size),
      overrun_(overrun),
      min_payload_(min_payload)
{
  done_ = length_size < 1 || length_size > 4;
}

bool
LengthPrefixedWalker::next(Unit *unit)
{
  if (done_ || size_ - pos_ < length_size_ + min_payload_) {
    done_ = true;
    return false;
  }
  const gsize prefix = pos_;
  const gsize start = pos_ + length_size_;
  const gsize declared = read_length(data_ + prefix, length_size_);
  const gsize available = size_ - start;
  bool clamped = false;
  gsize len = declared;
  if (declared > available) {
    if (overrun_ == Overrun::kStop) {
      done_ = true;
      return false;
    }
    len = available;
    clamped = true;
    done_ = true;
  }
  *unit = {prefix, start, len, clamped};
  pos_ = start + len;
  return true;
}

gsize
find_start_code(const guint8 *data, gsize size, gsize from, bool *zero_prefix)
{
  if (!data || size < 3) return size;
  for (gsize i = from; i + 2 < size;) {
    // Skip ahead quickly: a start code needs data[i + 2] == 1 and two zeros before it.
    if (data[i + 2] > 1) {
      i += 3;
    } else if (data[i + 2] == 1 && data[i + 1] == 0 && data[i] == 0) {
      if (zero_prefix) *zero_prefix = i > from && data[i - 1] == 0;
      return i;
    } else {
      ++i;
    }
  }
  return size;
}

ByteStreamWalker::ByteStreamWalker(const guint8 *data, gsize size)
    : data_(data), size_(data ? size : 0)
{
  next_sc_ = find_start_code(data_, size_, 0);
}

bool
ByteStreamWalker::next(Unit *unit)
{
  if (next_sc_ >= size_) return false;
  const gsize prefix = next_sc_;
  const gsize start = next_sc_ + 3;
  gsize following = find_start_code(data_, size_, start);
  gsize end = following;
  // Zero bytes before the next start code belong to it (4-byte start codes, trailing zeros).
  if (following < size_)
    while (end > start && data_[end - 1] == 0) --end;
  *unit = {prefix, start, end - start, false};
  next_sc_ = following;
  return true;
}

std::vector<guint8>
remove_emulation_prevention(const guint8 *data, gsize size)
{
  std::vector<guint8> out;
  out.reserve(size);
  guint zeros = 0;
  for (gsize i = 0; i < size; ++i) {
    const guint8 b = data[i];
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out.push_back(b);
  }
  return out;
}

gsize
remove_emulation_prevention(const guint8 *data, gsize size, guint8 *out, gsize capacity)
{
  gsize n = 0;
  guint zeros = 0;
  for (gsize i = 0; i < size && n < capacity; ++i) {
    const guint8 b = data[i];
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out[n++] = b;
  }
  return n;
}

std::vector<guint8>
add_emulation_prevention(const guint8 *data, gsize size, gsize header_bytes)
{
  std::vector<guint8> out;
  out.reserve(size + size / 64 + 4);
  const gsize head = header_bytes < size ? header_bytes : size;
  out.insert(out.end(), data, data + head);
  guint zeros = 0;
  for (gsize i = head; i < size; ++i) {
    const guint8 b = data[i];
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out.push_back(b);
  }
  return out;
}

}  // namespace nal
