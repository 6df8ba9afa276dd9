#include "foundation/base64.h"

#include <fmt/format.h>

#include "foundation/exception.h"

namespace fn {
namespace {

bool
inAlphabet(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

bool
isSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

void
Base64Decoder::decode(const char *text, size_t size, ByteArray &out) {
  if (!size) return;
  // GLib's bound for one step: 3 bytes per 4 characters plus what an earlier step held back.
  const size_t start = out.size();
  out.resize(start + (size / 4) * 3 + 3);
  const gsize n = g_base64_decode_step(text, size, out.data() + start, &state_, &save_);
  out.resize(start + n);
}

void
Base64Decoder::update(ByteView input, ByteArray &out) {
  // Only valid characters reach GLib, in pieces that fit its signed length.
  char clean[4096];
  size_t used = 0;
  for (size_t i = 0; i < input.size(); ++i, ++offset_) {
    const uint8_t c = input.data()[i];
    if (isSpace(c)) continue;
    if (inAlphabet(c)) {
      if (padding_)
        throw DataFormatException(fmt::format("Base64 data after padding at offset {}", offset_));
      ++data_chars_;
    } else if (c == '=') {
      // "=" may only fill the third and fourth places of the final group.
      if (data_chars_ % 4 < 2 || data_chars_ % 4 + padding_ >= 4)
        throw DataFormatException(fmt::format("Misplaced Base64 padding at offset {}", offset_));
      ++padding_;
    } else {
      throw DataFormatException(
          fmt::format("Invalid Base64 character 0x{:02x} at offset {}", c, offset_));
    }
    clean[used++] = static_cast<char>(c);
    if (used == sizeof clean) {
      decode(clean, used, out);
      used = 0;
    }
  }
  decode(clean, used, out);
}

void
Base64Decoder::finish(ByteArray &out) {
  const int rest = static_cast<int>(data_chars_ % 4);
  if (padding_) {
    if (rest + padding_ != 4) throw DataFormatException("Incomplete Base64 padding");
    return;
  }
  if (rest == 1) throw DataFormatException("Truncated Base64 data");
  // An unpadded final group: supply the padding GLib needs to emit its bytes.
  if (rest) decode("==", static_cast<size_t>(4 - rest), out);
}

}  // namespace fn
