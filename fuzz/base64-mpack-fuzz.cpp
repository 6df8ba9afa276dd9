// Decodes the input as MessagePack (first byte even) or as Base64 text carrying MessagePack
// (odd), and checks the tree against msgpack-cxx's own unpacker and the value order's laws.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <msgpack.hpp>
#include <string>

#include "foundation/base64.h"
#include "foundation/exception.h"
#include "foundation/mpack.h"
#include "foundation/stream.h"
#include "foundation/value.h"

namespace {

void
check(bool ok) {
  if (!ok) abort();
}

// msgpack-cxx's object as a Value, for comparison.
fn::Value
toValue(const msgpack::object &o) {
  switch (o.type) {
    case msgpack::type::NIL:
      return fn::Value();
    case msgpack::type::BOOLEAN:
      return fn::Value(o.via.boolean);
    case msgpack::type::POSITIVE_INTEGER:
      return fn::Value(o.via.u64);
    case msgpack::type::NEGATIVE_INTEGER:
      return fn::Value(o.via.i64);
    case msgpack::type::FLOAT32:
      return fn::Value(static_cast<float>(o.via.f64));
    case msgpack::type::FLOAT64:
      return fn::Value(o.via.f64);
    case msgpack::type::STR:
      return fn::Value(fn::String(o.via.str.ptr, o.via.str.size));
    case msgpack::type::BIN:
      return fn::Value(fn::ByteArray(o.via.bin.ptr, o.via.bin.size));
    case msgpack::type::ARRAY: {
      fn::Value::Array a;
      for (uint32_t i = 0; i < o.via.array.size; ++i) a.push_back(toValue(o.via.array.ptr[i]));
      return fn::Value(std::move(a));
    }
    case msgpack::type::MAP: {
      fn::Value::Map m;
      for (uint32_t i = 0; i < o.via.map.size; ++i)
        m.emplace_back(toValue(o.via.map.ptr[i].key), toValue(o.via.map.ptr[i].val));
      return fn::Value(std::move(m));
    }
    default:  // extension types
      return fn::Value();
  }
}

void
exercise(const fn::Value &v) {
  // Conversions either succeed or raise RangeException.
  try {
    (void)v.asNumber<int>();
  } catch (const fn::RangeException &) {
  }
  try {
    (void)v.asNumber<size_t>();
  } catch (const fn::RangeException &) {
  }
  try {
    const float f = v.asNumber<float>();
    check(f == f);
  } catch (const fn::RangeException &) {
  }
  const fn::Value copy = v;
  check(copy == v && !(copy < v) && !(v < copy));
  if (v.isArray()) {
    for (const fn::Value &e : v.asArray()) exercise(e);
  } else if (v.isMap()) {
    for (const auto &[key, value] : v.asMap()) {
      exercise(key);
      exercise(value);
      check(v.contains(key));
    }
  }
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const bool base64 = data[0] & 1;
  const char *body = reinterpret_cast<const char *>(data + 1);
  const size_t body_size = size - 1;

  fn::mpack::Limits limits;
  limits.max_depth = 32;
  fn::MemoryInputStream memory(body, body_size);
  fn::Base64Decoder decoder;
  fn::TransformInputStream decoded(memory, decoder);
  fn::mpack::Deserializer deserializer(base64 ? static_cast<fn::InputStream &>(decoded) : memory,
                                       limits);
  std::optional<fn::Value> first;
  try {
    first = deserializer.deserialize();
    for (std::optional<fn::Value> v = first; v; v = deserializer.deserialize()) exercise(*v);
  } catch (const fn::DataFormatException &) {
    return 0;
  }

  if (!base64) {
    // Where msgpack-cxx's unpacker (bounded so it cannot allocate wildly) reads a value, ours
    // must have read the same.
    try {
      std::size_t off = 0;
      const msgpack::unpack_limit bound(body_size, body_size / 2, body_size, body_size, body_size,
                                        limits.max_depth - 1);
      msgpack::object_handle h = msgpack::unpack(body, body_size, off, nullptr, nullptr, bound);
      check(first && *first == toValue(h.get()));
    } catch (const msgpack::unpack_error &) {
    } catch (const msgpack::type_error &) {
    } catch (const std::bad_alloc &) {
    }
  }
  return 0;
}
