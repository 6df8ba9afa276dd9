// Byte input streams: a stream over memory and a stream that passes another through a
// transform (such as fn::Base64Decoder).
#pragma once

#include <cstddef>
#include <string_view>

#include "foundation/bytes.h"

namespace fn {

class InputStream {
 public:
  virtual ~InputStream();
  // Reads up to size bytes into buffer; returns how many, 0 only at the end of the stream.
  // Malformed data raises DataFormatException.
  virtual size_t read(void *buffer, size_t size) = 0;
};

// Reads bytes the caller keeps alive for the stream's lifetime.
class MemoryInputStream : public InputStream {
 public:
  MemoryInputStream(const void *data, size_t size) noexcept
      : data_(static_cast<const uint8_t *>(data)), size_(size) {}
  explicit MemoryInputStream(std::string_view text) noexcept
      : MemoryInputStream(text.data(), text.size()) {}
  size_t read(void *buffer, size_t size) override;

 private:
  const uint8_t *data_;
  size_t size_;
  size_t offset_ = 0;
};

// A byte transform fed piece by piece.
class StreamTransform {
 public:
  virtual ~StreamTransform();
  // Appends the output for input to out.
  virtual void update(ByteView input, ByteArray &out) = 0;
  // The input has ended: appends what is left. Raises DataFormatException for incomplete input.
  virtual void finish(ByteArray &out) = 0;
};

// Reads source through transform; both must outlive the stream.
class TransformInputStream : public InputStream {
 public:
  TransformInputStream(InputStream &source, StreamTransform &transform) noexcept
      : source_(source), transform_(transform) {}
  size_t read(void *buffer, size_t size) override;

 private:
  InputStream &source_;
  StreamTransform &transform_;
  ByteArray pending_;
  size_t pending_offset_ = 0;
  bool finished_ = false;
};

}  // namespace fn
