#include "foundation/value.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace fn {

const Value Value::NIL;

const char *
typeName(Value::Type type) noexcept {
  switch (type) {
    case Value::Type::Nil:
      return "nil";
    case Value::Type::Boolean:
      return "boolean";
    case Value::Type::Integer:
      return "integer";
    case Value::Type::UnsignedInteger:
      return "unsigned integer";
    case Value::Type::Float32:
      return "float32";
    case Value::Type::Float64:
      return "float64";
    case Value::Type::String:
      return "string";
    case Value::Type::Binary:
      return "binary";
    case Value::Type::Array:
      return "array";
    case Value::Type::Map:
      return "map";
  }
  return "?";
}

Value::Value(const Value &other) {
  switch (other.type()) {
    case Type::Array:
      v_ = std::make_unique<Array>(other.asArray());
      break;
    case Type::Map:
      v_ = std::make_unique<Map>(other.asMap());
      break;
    case Type::String:
      v_ = std::get<String>(other.v_);
      break;
    case Type::Binary:
      v_ = std::get<ByteArray>(other.v_);
      break;
    case Type::Nil:
      break;
    case Type::Boolean:
      v_ = std::get<bool>(other.v_);
      break;
    case Type::Integer:
      v_ = std::get<int64_t>(other.v_);
      break;
    case Type::UnsignedInteger:
      v_ = std::get<uint64_t>(other.v_);
      break;
    case Type::Float32:
      v_ = std::get<float>(other.v_);
      break;
    case Type::Float64:
      v_ = std::get<double>(other.v_);
      break;
  }
}

Value &
Value::operator=(const Value &other) {
  if (this != &other) *this = Value(other);
  return *this;
}

bool
Value::isNumber() const noexcept {
  switch (type()) {
    case Type::Integer:
    case Type::UnsignedInteger:
    case Type::Float32:
    case Type::Float64:
      return true;
    default:
      return false;
  }
}

void
Value::throwNotIntegral() const {
  throw RangeException("Value can not be implicitly converted to integral type");
}

void
Value::throwLoss() {
  throw RangeException("Value can not be converted to requested type without loss");
}

void
Value::throwWrongType(const char *wanted) const {
  throw DataFormatException(fmt::format("Expected {} value, got {}", wanted, typeName(type())));
}

bool
Value::asBool() const {
  if (type() != Type::Boolean) throwWrongType("a boolean");
  return std::get<bool>(v_);
}

const String &
Value::asString() const {
  if (type() != Type::String) throwWrongType("a string");
  return std::get<String>(v_);
}

const ByteArray &
Value::asBinary() const {
  if (type() != Type::Binary) throwWrongType("a binary");
  return std::get<ByteArray>(v_);
}

const Value::Array &
Value::asArray() const {
  if (type() != Type::Array) throwWrongType("an array");
  return *std::get<std::unique_ptr<Array>>(v_);
}

const Value::Map &
Value::asMap() const {
  if (type() != Type::Map) throwWrongType("a map");
  return *std::get<std::unique_ptr<Map>>(v_);
}

Value::Array &
Value::asArray() {
  return const_cast<Array &>(std::as_const(*this).asArray());
}

Value::Map &
Value::asMap() {
  return const_cast<Map &>(std::as_const(*this).asMap());
}

size_t
Value::size() const noexcept {
  switch (type()) {
    case Type::String:
      return std::get<String>(v_).size();
    case Type::Binary:
      return std::get<ByteArray>(v_).size();
    case Type::Array:
      return std::get<std::unique_ptr<Array>>(v_)->size();
    case Type::Map:
      return std::get<std::unique_ptr<Map>>(v_)->size();
    default:
      return 0;
  }
}

const Value &
Value::element(size_t index) const {
  const Array &array = asArray();
  if (index >= array.size())
    throw DataFormatException(
        fmt::format("Array index {} out of range (size {})", index, array.size()));
  return array[index];
}

namespace {

const Value *
find(const Value::Map &map, const Value &key) {
  for (auto it = map.rbegin(); it != map.rend(); ++it)
    if (it->first == key) return &it->second;
  return nullptr;
}

std::string
describeKey(const Value &key) {
  return key.isString() ? fmt::format("\"{}\"", key.asString()) : typeName(key.type());
}

// Ranks of the order; the two integer kinds share one, as do the two float kinds.
int
rank(Value::Type t) {
  switch (t) {
    case Value::Type::Nil:
      return 0;
    case Value::Type::Boolean:
      return 1;
    case Value::Type::Integer:
    case Value::Type::UnsignedInteger:
      return 2;
    case Value::Type::Float32:
    case Value::Type::Float64:
      return 3;
    case Value::Type::String:
      return 4;
    case Value::Type::Binary:
      return 5;
    case Value::Type::Array:
      return 6;
    case Value::Type::Map:
      return 7;
  }
  return 8;
}

template <typename T>
int
three_way(const T &a, const T &b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int
compareBytes(const void *a, size_t na, const void *b, size_t nb) {
  const size_t n = std::min(na, nb);
  const int c = n ? std::memcmp(a, b, n) : 0;
  return c ? (c < 0 ? -1 : 1) : three_way(na, nb);
}

}  // namespace

const Value &
Value::operator[](const Value &key) const {
  const Value *found = find(asMap(), key);
  return found ? *found : NIL;
}

const Value &
Value::at(const Value &key) const {
  const Value *found = find(asMap(), key);
  if (!found) throw DataFormatException(fmt::format("Missing map key {}", describeKey(key)));
  return *found;
}

bool
Value::contains(const Value &key) const {
  return find(asMap(), key) != nullptr;
}

int
Value::compare(const Value &a, const Value &b) {
  const int ra = rank(a.type()), rb = rank(b.type());
  if (ra != rb) return three_way(ra, rb);
  switch (a.type()) {
    case Type::Nil:
      return 0;
    case Type::Boolean:
      return three_way(std::get<bool>(a.v_), std::get<bool>(b.v_));
    case Type::Integer:
    case Type::UnsignedInteger: {
      // A negative number is always below an unsigned one.
      const bool na = a.type() == Type::Integer && std::get<int64_t>(a.v_) < 0;
      const bool nb = b.type() == Type::Integer && std::get<int64_t>(b.v_) < 0;
      if (na != nb) return na ? -1 : 1;
      if (na) return three_way(std::get<int64_t>(a.v_), std::get<int64_t>(b.v_));
      auto u = [](const Value &v) {
        return v.type() == Type::Integer ? static_cast<uint64_t>(std::get<int64_t>(v.v_))
                                         : std::get<uint64_t>(v.v_);
      };
      return three_way(u(a), u(b));
    }
    case Type::Float32:
    case Type::Float64: {
      auto d = [](const Value &v) {
        return v.type() == Type::Float32 ? static_cast<double>(std::get<float>(v.v_))
                                         : std::get<double>(v.v_);
      };
      const double da = d(a), db = d(b);
      // NaN sorts after every number and equal to itself, so the order stays total.
      if (std::isnan(da) || std::isnan(db)) return three_way(std::isnan(da), std::isnan(db));
      return three_way(da, db);
    }
    case Type::String: {
      const String &sa = std::get<String>(a.v_), &sb = std::get<String>(b.v_);
      return compareBytes(sa.data(), sa.size(), sb.data(), sb.size());
    }
    case Type::Binary: {
      const ByteArray &ba = std::get<ByteArray>(a.v_), &bb = std::get<ByteArray>(b.v_);
      return compareBytes(ba.data(), ba.size(), bb.data(), bb.size());
    }
    case Type::Array: {
      const Array &aa = a.asArray(), &ab = b.asArray();
      const size_t n = std::min(aa.size(), ab.size());
      for (size_t i = 0; i < n; ++i)
        if (const int c = compare(aa[i], ab[i])) return c;
      return three_way(aa.size(), ab.size());
    }
    case Type::Map: {
      const Map &ma = a.asMap(), &mb = b.asMap();
      const size_t n = std::min(ma.size(), mb.size());
      for (size_t i = 0; i < n; ++i) {
        if (const int c = compare(ma[i].first, mb[i].first)) return c;
        if (const int c = compare(ma[i].second, mb[i].second)) return c;
      }
      return three_way(ma.size(), mb.size());
    }
  }
  return 0;
}

}  // namespace fn
