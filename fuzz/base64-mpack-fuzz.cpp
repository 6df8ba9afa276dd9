// Decodes the input as MessagePack (first byte even) or as Base64 text carrying MessagePack
// (odd), and checks the tree against msgpack-cxx's own unpacker and the value order's laws.
#include <msgpack.hpp>

#include "foundation/base64.h"
#include "foundation/mpack.h"
#include "fuzz/fuzz-input.h"

using fuzzinput::check;

// msgpack-cxx's object as a Value, for comparison (which takes integers and floats by value);
// nil and extension types are nil.
static fn::Value
toValue(const msgpack::object &o)
{
  fn::Value::Array a; fn::Value::Map m;  // the elements of an array or a map
  switch (o.type) {
    case msgpack::type::BOOLEAN: return fn::Value(o.via.boolean);
    case msgpack::type::POSITIVE_INTEGER: return fn::Value(o.via.u64);
    case msgpack::type::NEGATIVE_INTEGER: return fn::Value(o.via.i64);
    case msgpack::type::FLOAT32: case msgpack::type::FLOAT64: return fn::Value(o.via.f64);
    case msgpack::type::STR: return fn::Value(fn::String(o.via.str.ptr, o.via.str.size));
    case msgpack::type::BIN: return fn::Value(fn::ByteArray(o.via.bin.ptr, o.via.bin.size));
    case msgpack::type::ARRAY:
      for (uint32_t i = 0; i < o.via.array.size; ++i) a.push_back(toValue(o.via.array.ptr[i]));
      return fn::Value(std::move(a));
    case msgpack::type::MAP:
      for (uint32_t i = 0; i < o.via.map.size; ++i)
        m.emplace_back(toValue(o.via.map.ptr[i].key), toValue(o.via.map.ptr[i].val));
      return fn::Value(std::move(m));
    default: return fn::Value();
  }
}

// The laws on every value of a tree: numeric conversions succeed (never to NaN) or raise
// RangeException, a copy equals and orders like its original, keys are found.
static void
walk(const fn::Value &v)
{
  try { v.asNumber<int>(); } catch (const fn::RangeException &) {}
  try { v.asNumber<size_t>(); } catch (const fn::RangeException &) {}
  try { check(!std::isnan(v.asNumber<float>())); } catch (const fn::RangeException &) {}
  check([copy = v, &v] { return copy == v && !(copy < v) && !(v < copy); }());
  if (v.isArray()) for (const fn::Value &e : v.asArray()) walk(e);
  if (v.isMap()) for (const auto &[k, x] : v.asMap()) walk(k), walk(x), check(v.contains(k));
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  const bool base64 = in.byte() & 1;
  fn::MemoryInputStream memory(in.data, in.size);
  fn::Base64Decoder decoder;
  fn::TransformInputStream decoded(memory, decoder);
  fn::mpack::Deserializer ours(base64 ? static_cast<fn::InputStream &>(decoded) : memory);
  try {
    const std::optional<fn::Value> first = ours.deserialize();
    for (auto v = first; v; v = ours.deserialize()) walk(*v);
    // Where msgpack-cxx's unpacker (bounded so that it cannot allocate wildly) reads a value,
    // ours must have read the same.
    size_t off = 0, n = base64 ? 0 : in.size;
    const char *body = reinterpret_cast<const char *>(in.data);
    const msgpack::unpack_limit bound(n, n / 2, n, n, n, fn::mpack::Limits{}.max_depth - 1);
    if (n) check(first == toValue(msgpack::unpack(body, n, off, nullptr, nullptr, bound).get()));
  } catch (const fn::DataFormatException &) {} catch (const msgpack::unpack_error &) {}
  return 0;
}
