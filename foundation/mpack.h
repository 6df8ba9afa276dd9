// fn::mpack::Deserializer: reads MessagePack values from a stream into fn::Value trees.
//
// The stream is read to its end (at most Limits::max_input_bytes) on the first call; each
// deserialize() then yields the next value. Hostile input is bounded: containers grow only with
// the elements actually present (a declared count allocates nothing), nesting deeper than
// max_depth or more than max_values values raise DataFormatException, so neither the stack nor
// memory can be exhausted. Extension types decode as nil.
#pragma once

#include <cstddef>
#include <optional>

#include "foundation/bytes.h"
#include "foundation/stream.h"
#include "foundation/value.h"

namespace fn::mpack {

struct Limits {
  size_t max_input_bytes = size_t{64} << 20;
  size_t max_depth = 64;
  size_t max_values = size_t{16} << 20;
};

class Deserializer {
 public:
  explicit Deserializer(InputStream &stream, Limits limits = {}) noexcept
      : stream_(stream), limits_(limits) {}

  // The next value; none at the end of the input and for input that holds no complete,
  // well-formed value (truncated data, the reserved byte 0xc1), after which the deserializer
  // stays at its end. Raises DataFormatException when a limit is exceeded and whatever the
  // stream raises (e.g. for bad Base64).
  std::optional<Value> deserialize();

 private:
  void load();

  InputStream &stream_;
  Limits limits_;
  ByteArray input_;
  size_t offset_ = 0;
  bool loaded_ = false;
};

}  // namespace fn::mpack
