// Readers that cut a libFuzzer input into fields; each consumes what it reads.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fuzzinput {

// Up to four bytes as a native-endian int32 (fewer at the end of the input).
inline gint32
take_i32(const uint8_t *&data, size_t &size)
{
  gint32 v = 0;
  const size_t n = size < 4 ? size : 4;
  if (n) std::memcpy(&v, data, n);
  data += n;
  size -= n;
  return v;
}

// A piece with a 16-bit big-endian length, or the rest when the length runs past the input.
inline bool
take_piece(const uint8_t *&data, size_t &size, const uint8_t **piece, size_t *piece_size)
{
  if (size < 2) return false;
  size_t n = (data[0] << 8) | data[1];
  data += 2;
  size -= 2;
  if (n > size) n = size;
  *piece = data;
  *piece_size = n;
  data += n;
  size -= n;
  return true;
}

}  // namespace fuzzinput
