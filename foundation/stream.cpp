#include "foundation/stream.h"

#include <algorithm>
#include <cstring>

namespace fn {

InputStream::~InputStream() = default;
StreamTransform::~StreamTransform() = default;

size_t
MemoryInputStream::read(void *buffer, size_t size) {
  const size_t n = std::min(size, size_ - offset_);
  if (n) std::memcpy(buffer, data_ + offset_, n);
  offset_ += n;
  return n;
}

size_t
TransformInputStream::read(void *buffer, size_t size) {
  constexpr size_t kChunk = 64 * 1024;
  while (pending_offset_ == pending_.size() && !finished_) {
    pending_.clear();
    pending_offset_ = 0;
    uint8_t chunk[kChunk];
    const size_t n = source_.read(chunk, sizeof chunk);
    if (n == 0) {
      finished_ = true;
      transform_.finish(pending_);
    } else {
      transform_.update(ByteView(chunk, n), pending_);
    }
  }
  const size_t n = std::min(size, pending_.size() - pending_offset_);
  if (n) std::memcpy(buffer, pending_.data() + pending_offset_, n);
  pending_offset_ += n;
  return n;
}

}  // namespace fn
