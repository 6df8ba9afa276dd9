// fn::Value: a MessagePack-shaped value tree (nil, boolean, signed and unsigned integers,
// float32 and float64 kept apart, string, binary, array, map) with lossless number conversions.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/exception.h"
#include "foundation/string.h"

namespace fn {

class Value {
 public:
  enum class Type {
    Nil,
    Boolean,
    Integer,
    UnsignedInteger,
    Float32,
    Float64,
    String,
    Binary,
    Array,
    Map
  };
  using Array = std::vector<Value>;
  // Entries in document order. Lookups find the last entry with an equal key, so a repeated key
  // overrides an earlier one.
  using Map = std::vector<std::pair<Value, Value>>;

  static const Value NIL;

  Value() noexcept = default;
  Value(std::nullptr_t) noexcept {}  // NOLINT
  Value(bool b) noexcept : v_(b) {}  // NOLINT
  template <std::integral T>
  requires(!std::same_as<T, bool>) Value(T i)
  noexcept {  // NOLINT
    if constexpr (std::is_signed_v<T>)
      v_ = static_cast<int64_t>(i);
    else
      v_ = static_cast<uint64_t>(i);
  }
  Value(float f) noexcept : v_(f) {}                             // NOLINT
  Value(double d) noexcept : v_(d) {}                            // NOLINT
  Value(String s) : v_(std::move(s)) {}                          // NOLINT
  Value(const char *s) : v_(String(s)) {}                        // NOLINT
  Value(ByteArray b) : v_(std::move(b)) {}                       // NOLINT
  Value(Array a) : v_(std::make_unique<Array>(std::move(a))) {}  // NOLINT
  Value(Map m) : v_(std::make_unique<Map>(std::move(m))) {}      // NOLINT

  Value(const Value &other);
  Value &operator=(const Value &other);
  Value(Value &&) noexcept = default;
  Value &operator=(Value &&) noexcept = default;
  ~Value() = default;

  Type type() const noexcept { return static_cast<Type>(v_.index()); }
  bool isNil() const noexcept { return type() == Type::Nil; }
  bool isArray() const noexcept { return type() == Type::Array; }
  bool isMap() const noexcept { return type() == Type::Map; }
  bool isString() const noexcept { return type() == Type::String; }
  bool isNumber() const noexcept;

  // Number conversion without loss:
  //   nil -> 0; boolean -> 0 or 1;
  //   integers -> the value if it converts to T and back unchanged;
  //   float32/float64 -> the value if the conversion is exact (NaN never is);
  //   otherwise RangeException "Value can not be converted to requested type without loss";
  //   string, binary, array, map -> RangeException
  //   "Value can not be implicitly converted to integral type".
  template <typename T>
  requires(std::is_arithmetic_v<T> && !std::same_as<T, bool>) T asNumber()
  const;

  // Structural access; the wrong kind of value raises DataFormatException.
  bool asBool() const;
  const String &asString() const;
  const ByteArray &asBinary() const;
  const Array &asArray() const;
  const Map &asMap() const;
  Array &asArray();
  Map &asMap();
  // Elements of an array, entries of a map, bytes of a string or binary; 0 for the rest.
  size_t size() const noexcept;

  // Array element; DataFormatException for a non-array or an index out of range. (A template so
  // that v[0] is not ambiguous with the string-key lookup; use v[Value(n)] for integer map keys.)
  template <std::integral I>
  const Value &operator[](I index) const {
    return element(std::in_range<size_t>(index) ? static_cast<size_t>(index) : SIZE_MAX);
  }
  template <std::integral I>
  const Value &at(I index) const {
    return (*this)[index];
  }
  // Map lookup that gives NIL for a missing key; DataFormatException for a non-map.
  const Value &operator[](const Value &key) const;
  const Value &operator[](const char *key) const { return (*this)[Value(key)]; }
  // Map lookup of a key the caller requires: DataFormatException when it is missing.
  const Value &at(const Value &key) const;
  const Value &at(const char *key) const { return at(Value(key)); }
  bool contains(const Value &key) const;

  // A total order: nil < boolean < integers (signed and unsigned compared by value) < floats
  // (float32 and float64 compared by value, NaN last) < string < binary < array < map; strings
  // and binaries bytewise, arrays and maps lexicographically.
  friend bool operator<(const Value &a, const Value &b) { return compare(a, b) < 0; }
  friend bool operator==(const Value &a, const Value &b) { return compare(a, b) == 0; }

  static int compare(const Value &a, const Value &b);

 private:
  // The index order matches Type.
  using Storage = std::variant<std::monostate, bool, int64_t, uint64_t, float, double, String,
                               ByteArray, std::unique_ptr<Array>, std::unique_ptr<Map>>;

  const Value &element(size_t index) const;
  [[noreturn]] void throwNotIntegral() const;
  [[noreturn]] static void throwLoss();
  [[noreturn]] void throwWrongType(const char *wanted) const;

  template <typename T>
  static T fromInteger(auto i);
  template <typename T>
  static T fromFloating(double d);

  Storage v_;
};

const char *typeName(Value::Type type) noexcept;

template <typename T>
T
Value::fromInteger(auto i) {
  if constexpr (std::is_integral_v<T>) {
    if (!std::in_range<T>(i)) throwLoss();
    return static_cast<T>(i);
  } else {
    // Back-conversion is only defined for values inside the source range: 2^63 and 2^64 are
    // exactly representable in T but not in int64_t/uint64_t.
    using Src = decltype(i);
    const T t = static_cast<T>(i);
    const long double limit = std::ldexp(1.0L, std::numeric_limits<Src>::digits);
    if (static_cast<long double>(t) >= limit || static_cast<Src>(t) != i) throwLoss();
    return t;
  }
}

template <typename T>
T
Value::fromFloating(double d) {
  if (std::isnan(d)) throwLoss();
  if constexpr (std::is_integral_v<T>) {
    // [min, 2^digits): both bounds are exact powers of two in double.
    const double low = static_cast<double>(std::numeric_limits<T>::min());
    const double high = std::ldexp(1.0, std::numeric_limits<T>::digits);
    if (!(d >= low && d < high) || std::trunc(d) != d) throwLoss();
    return static_cast<T>(d);
  } else {
    // Converting a finite double beyond the target's range is undefined: check first.
    if (std::isfinite(d) && std::fabs(d) > static_cast<double>(std::numeric_limits<T>::max()))
      throwLoss();
    const T t = static_cast<T>(d);
    if (static_cast<double>(t) != d) throwLoss();
    return t;
  }
}

template <typename T>
requires(std::is_arithmetic_v<T> && !std::same_as<T, bool>) T Value::asNumber()
const {
  switch (type()) {
    case Type::Nil:
      return T(0);
    case Type::Boolean:
      return std::get<bool>(v_) ? T(1) : T(0);
    case Type::Integer:
      return fromInteger<T>(std::get<int64_t>(v_));
    case Type::UnsignedInteger:
      return fromInteger<T>(std::get<uint64_t>(v_));
    case Type::Float32:
      return fromFloating<T>(std::get<float>(v_));
    case Type::Float64:
      return fromFloating<T>(std::get<double>(v_));
    default:
      throwNotIntegral();
  }
}

}  // namespace fn
