// Decodes the input as MessagePack (first byte even) or as Base64 text carrying MessagePack
// (odd), and checks the tree against msgpack-cxx's own unpacker and the value order's laws.
#include <msgpack.hpp>

#include "foundation/base64.h"
#include "foundation/exception.h"
#include "foundation/mpack.h"
#include "foundation/stream.h"
#include "foundation/value.h"
#include "fuzz/fuzz-input.h"

namespace {

using fuzzinput::check;

// msgpack-cxx's object as a Value, for comparison.
fn::Value
toValue(const msgpack::object &o)
{
  switch (o.type) {
    case msgpack::type::BOOLEAN: return fn::Value(o.via.boolean);
    case msgpack::type::POSITIVE_INTEGER: return fn::Value(o.via.u64);
    case msgpack::type::NEGATIVE_INTEGER: return fn::Value(o.via.i64);
    case msgpack::type::FLOAT32: return fn::Value(static_cast<float>(o.via.f64));
    case msgpack::type::FLOAT64: return fn::Value(o.via.f64);
    case msgpack::type::STR: return fn::Value(fn::String(o.via.str.ptr, o.via.str.size));
    case msgpack::type::BIN: return fn::Value(fn::ByteArray(o.via.bin.ptr, o.via.bin.size));
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
    default:  // nil and extension types
      return fn::Value();
  }
}

// Conversions either succeed or raise RangeException.
template <typename T>
void
convert(const fn::Value &v)
{
  try {
    const T t = v.asNumber<T>();
    check(t == t);  // no NaN
  } catch (const fn::RangeException &) {
  }
}

void
exercise(const fn::Value &v)
{
  convert<int>(v);
  convert<size_t>(v);
  convert<float>(v);
  const fn::Value copy = v;
  check(copy == v && !(copy < v) && !(v < copy));
  if (v.isArray())
    for (const fn::Value &e : v.asArray()) exercise(e);
  if (v.isMap())
    for (const auto &[key, value] : v.asMap()) {
      exercise(key);
      exercise(value);
      check(v.contains(key));
    }
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  const bool base64 = in.byte() & 1;
  const char *body = reinterpret_cast<const char *>(in.data);
  fn::mpack::Limits limits;
  limits.max_depth = 32;
  fn::MemoryInputStream memory(body, in.size);
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
  if (base64) return 0;
  // Where msgpack-cxx's unpacker (bounded so it cannot allocate wildly) reads a value, ours
  // must have read the same.
  try {
    std::size_t off = 0, n = in.size;
    const msgpack::unpack_limit bound(n, n / 2, n, n, n, limits.max_depth - 1);
    msgpack::object_handle h = msgpack::unpack(body, n, off, nullptr, nullptr, bound);
    check(first && *first == toValue(h.get()));
  } catch (const std::exception &) {  // unpack_error, type_error, bad_alloc
  }
  return 0;
}
