// fn::String: an owned byte string (may hold NUL bytes) with a total, bytewise order.
#pragma once

#include <fmt/format.h>

#include <compare>
#include <cstddef>
#include <string>
#include <string_view>

namespace fn {

class String {
 public:
  String() = default;
  // A null pointer gives the empty string.
  String(const char *text) : bytes_(text ? text : "") {}  // NOLINT: implicit by design
  String(const char *data, size_t size) : bytes_(data, size) {}
  explicit String(std::string_view text) : bytes_(text) {}
  explicit String(std::string text) : bytes_(std::move(text)) {}

  const char *data() const noexcept { return bytes_.data(); }
  // NUL-terminated; stops early if the string itself holds a NUL byte.
  const char *c_str() const noexcept { return bytes_.c_str(); }
  size_t size() const noexcept { return bytes_.size(); }
  bool empty() const noexcept { return bytes_.empty(); }
  const std::string &str() const noexcept { return bytes_; }

  // Bytewise (unsigned) comparison, shorter prefix first.
  friend bool operator==(const String &a, const String &b) noexcept { return a.bytes_ == b.bytes_; }
  friend std::strong_ordering operator<=>(const String &a, const String &b) noexcept {
    const int c = a.bytes_.compare(b.bytes_);
    return c < 0 ? std::strong_ordering::less
                 : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
  }

 private:
  std::string bytes_;
};

inline std::string_view
to_string_view(const String &s) noexcept {
  return {s.data(), s.size()};
}

}  // namespace fn

template <>
struct fmt::formatter<fn::String> : fmt::formatter<fmt::string_view> {
  template <typename FormatContext>
  auto format(const fn::String &s, FormatContext &ctx) const {
    return fmt::formatter<fmt::string_view>::format(fmt::string_view(s.data(), s.size()), ctx);
  }
};
