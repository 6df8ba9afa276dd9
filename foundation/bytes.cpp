#include "foundation/bytes.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace fn {

ByteArray::ByteArray(size_t size) : ByteArray(uninitialized(size)) {
  if (size) std::memset(data_.get(), 0, size);
}

ByteArray::ByteArray(const void *data, size_t size) : ByteArray(uninitialized(size)) {
  if (size) std::memcpy(data_.get(), data, size);
}

ByteArray
ByteArray::uninitialized(size_t size) {
  ByteArray a;
  if (size) {
    a.data_ = std::make_unique_for_overwrite<uint8_t[]>(size);
    a.size_ = a.capacity_ = size;
  }
  return a;
}

ByteArray::ByteArray(const ByteArray &other) : ByteArray(other.data(), other.size()) {}

ByteArray &
ByteArray::operator=(const ByteArray &other) {
  if (this != &other) {
    if (other.size_ <= capacity_) {
      if (other.size_) std::memcpy(data_.get(), other.data(), other.size_);
      size_ = other.size_;
    } else {
      *this = ByteArray(other);
    }
  }
  return *this;
}

ByteArray::ByteArray(ByteArray &&other) noexcept
    : data_(std::move(other.data_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteArray &
ByteArray::operator=(ByteArray &&other) noexcept {
  data_ = std::move(other.data_);
  size_ = std::exchange(other.size_, 0);
  capacity_ = std::exchange(other.capacity_, 0);
  return *this;
}

void
ByteArray::reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  auto grown = std::make_unique_for_overwrite<uint8_t[]>(capacity);
  if (size_) std::memcpy(grown.get(), data_.get(), size_);
  data_ = std::move(grown);
  capacity_ = capacity;
}

void
ByteArray::resize(size_t size) {
  if (size > capacity_) reserve(std::max(size, capacity_ * 2));
  if (size > size_) std::memset(data_.get() + size_, 0, size - size_);
  size_ = size;
}

void
ByteArray::append(const void *data, size_t size) {
  if (!size) return;
  // Amortised doubling; copying from our own storage stays valid because the old block lives
  // until the copy is done.
  if (size_ + size > capacity_) {
    const size_t capacity = std::max(size_ + size, capacity_ * 2);
    auto grown = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (size_) std::memcpy(grown.get(), data_.get(), size_);
    std::memcpy(grown.get() + size_, data, size);
    data_ = std::move(grown);
    capacity_ = capacity;
  } else {
    std::memmove(data_.get() + size_, data, size);
  }
  size_ += size;
}

bool
operator==(const ByteArray &a, const ByteArray &b) noexcept {
  return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
}

String
ByteView::SHA256Hex() const {
  GChecksum *checksum = g_checksum_new(G_CHECKSUM_SHA256);
  // g_checksum_update takes a signed length: feed very large ranges in pieces.
  const uint8_t *p = data_;
  size_t left = size_;
  while (left > 0) {
    const size_t n = std::min<size_t>(left, G_MAXSSIZE);
    g_checksum_update(checksum, p, static_cast<gssize>(n));
    p += n;
    left -= n;
  }
  String hex(g_checksum_get_string(checksum));
  g_checksum_free(checksum);
  return hex;
}

}  // namespace fn
