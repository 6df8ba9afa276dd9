// fn::ByteArray (growable owned bytes) and fn::ByteView (a borrowed byte range).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/string.h"

namespace fn {

class ByteView;

class ByteArray {
 public:
  ByteArray() noexcept = default;
  // size zero bytes.
  explicit ByteArray(size_t size);
  ByteArray(const void *data, size_t size);
  // size bytes whose contents are left unset, for filling with read(2) and the like.
  static ByteArray uninitialized(size_t size);

  ByteArray(const ByteArray &other);
  ByteArray &operator=(const ByteArray &other);
  ByteArray(ByteArray &&other) noexcept;
  ByteArray &operator=(ByteArray &&other) noexcept;
  ~ByteArray() = default;

  uint8_t *data() noexcept { return data_.get(); }
  const uint8_t *data() const noexcept { return data_.get(); }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  uint8_t &operator[](size_t i) noexcept { return data_[i]; }
  uint8_t operator[](size_t i) const noexcept { return data_[i]; }
  const uint8_t *begin() const noexcept { return data(); }
  const uint8_t *end() const noexcept { return data() + size_; }

  void reserve(size_t capacity);
  // New bytes are zero.
  void resize(size_t size);
  void append(const void *data, size_t size);
  void append(uint8_t byte) { append(&byte, 1); }
  void clear() noexcept { size_ = 0; }
  ByteView view() const noexcept;

  friend bool operator==(const ByteArray &a, const ByteArray &b) noexcept;

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

class ByteView {
 public:
  constexpr ByteView() noexcept = default;
  constexpr ByteView(const void *data, size_t size) noexcept
      : data_(static_cast<const uint8_t *>(data)), size_(size) {}
  ByteView(const ByteArray &bytes) noexcept  // NOLINT: a view of the whole array
      : data_(bytes.data()), size_(bytes.size()) {}

  const uint8_t *data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // The SHA-256 digest of the range as 64 lower-case hexadecimal digits.
  String SHA256Hex() const;

 private:
  const uint8_t *data_ = nullptr;
  size_t size_ = 0;
};

inline ByteView
ByteArray::view() const noexcept {
  return ByteView(*this);
}

}  // namespace fn
