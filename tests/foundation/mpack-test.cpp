#include "foundation/mpack.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <msgpack.hpp>
#include <string>
#include <vector>

#include "foundation/base64.h"
#include "foundation/stream.h"

namespace {

std::string
bytes(const msgpack::sbuffer &buffer) {
  return std::string(buffer.data(), buffer.size());
}

std::optional<fn::Value>
read(const std::string &data, fn::mpack::Limits limits = {}) {
  fn::MemoryInputStream stream(data);
  fn::mpack::Deserializer deserializer(stream, limits);
  return deserializer.deserialize();
}

// An HRTF-like document: rates mapping to entries with ints, arrays and float32 taps.
msgpack::sbuffer
hrtfDocument() {
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> pk(buffer);
  pk.pack_map(2);
  for (int rate : {44100, 48000}) {
    pk.pack(rate);
    pk.pack_array(2);
    for (int azimuth : {30, -30}) {
      pk.pack_map(4);
      pk.pack(std::string("azimuth"));
      pk.pack(azimuth);
      pk.pack(std::string("delay"));
      pk.pack(std::vector<unsigned>{3, 4});
      pk.pack(std::string("taps"));
      pk.pack_array(2);
      for (int ear = 0; ear < 2; ++ear) pk.pack(std::vector<float>{0.5f, -0.25f, 0.1f});
      pk.pack(std::string("note"));
      pk.pack_ext(2, 7);
      pk.pack_ext_body("\x01\x02", 2);
    }
  }
  return buffer;
}

TEST(Deserializer, ReadsARealDocument) {
  const std::optional<fn::Value> doc = read(bytes(hrtfDocument()));
  ASSERT_TRUE(doc);
  ASSERT_EQ(doc->asMap().size(), 2u);
  EXPECT_EQ(doc->asMap()[1].first.asNumber<int>(), 48000);
  const fn::Value &entries = (*doc)[fn::Value(44100)];
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1]["azimuth"].asNumber<int>(), -30);
  EXPECT_EQ(entries[1]["azimuth"].type(), fn::Value::Type::Integer);
  // Non-negative integers arrive unsigned; floats keep their width.
  EXPECT_EQ(entries[0]["azimuth"].type(), fn::Value::Type::UnsignedInteger);
  EXPECT_EQ(entries[0]["delay"][1].asNumber<size_t>(), 4u);
  EXPECT_EQ(entries[0]["taps"][1][2].type(), fn::Value::Type::Float32);
  EXPECT_EQ(entries[0]["taps"][1][2].asNumber<float>(), 0.1f);
  EXPECT_TRUE(entries[0]["note"].isNil());  // extension type
}

TEST(Deserializer, ReadsAllKindsAndSuccessiveValues) {
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> pk(buffer);
  pk.pack_nil();
  pk.pack(true);
  pk.pack(int64_t{-9000000000});
  pk.pack(uint64_t{18000000000000000000u});
  pk.pack(0.1);
  pk.pack(std::string("h\0llo", 5));
  pk.pack_bin(3);
  pk.pack_bin_body("\x00\xff\x10", 3);
  // A map whose key is an array.
  pk.pack_map(1);
  pk.pack(std::vector<int>{1, 2});
  pk.pack(std::string("v"));

  fn::MemoryInputStream stream(buffer.data(), buffer.size());
  fn::mpack::Deserializer d(stream);
  std::vector<fn::Value> values;
  while (std::optional<fn::Value> v = d.deserialize()) values.push_back(std::move(*v));
  ASSERT_EQ(values.size(), 8u);
  EXPECT_TRUE(values[0].isNil());
  EXPECT_TRUE(values[1].asBool());
  EXPECT_EQ(values[2].asNumber<int64_t>(), -9000000000);
  EXPECT_EQ(values[3].asNumber<uint64_t>(), 18000000000000000000u);
  EXPECT_EQ(values[4].type(), fn::Value::Type::Float64);
  EXPECT_EQ(values[4].asNumber<double>(), 0.1);
  EXPECT_EQ(values[5].asString(), fn::String("h\0llo", 5));
  EXPECT_EQ(values[6].asBinary(), fn::ByteArray("\x00\xff\x10", 3));
  EXPECT_EQ(values[7][fn::Value(fn::Value::Array{fn::Value(1), fn::Value(2)})].asString(), "v");
}

TEST(Deserializer, ReadsBase64Text) {
  // The empty map: Base64 of the single byte 0x80.
  fn::MemoryInputStream memory(std::string_view("gA=="));
  fn::Base64Decoder decoder;
  fn::TransformInputStream stream(memory, decoder);
  std::optional<fn::Value> v = fn::mpack::Deserializer(stream).deserialize();
  ASSERT_TRUE(v);
  EXPECT_TRUE(v->isMap());
  EXPECT_EQ(v->size(), 0u);

  const msgpack::sbuffer doc = hrtfDocument();
  gchar *text = g_base64_encode(reinterpret_cast<const guchar *>(doc.data()), doc.size());
  fn::MemoryInputStream memory2(text, strlen(text));
  fn::Base64Decoder decoder2;
  fn::TransformInputStream stream2(memory2, decoder2);
  v = fn::mpack::Deserializer(stream2).deserialize();
  g_free(text);
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, *read(bytes(doc)));
}

TEST(Deserializer, HostileInputGivesNoValueOrAnError) {
  // Nothing, truncated values, the reserved byte.
  EXPECT_FALSE(read(""));
  EXPECT_FALSE(read("\x92\x01"));
  EXPECT_FALSE(read("\xa5hel"));
  EXPECT_FALSE(read("\xc1"));
  // Declared counts far beyond the data allocate nothing and give no value.
  EXPECT_FALSE(read("\xdd\xff\xff\xff\xff"));
  EXPECT_FALSE(read("\xdf\xff\xff\xff\xff\x01"));
  EXPECT_FALSE(
      read("\xdb\xff\xff\xff\xff"
           "abc"));
  EXPECT_FALSE(read("\xc6\xff\xff\xff\xff"));
  // Deep nesting is refused before it can exhaust the stack.
  EXPECT_THROW(read(std::string(100000, '\x91') + '\x01'), fn::DataFormatException);
  EXPECT_TRUE(read(std::string(64, '\x91') + '\x01'));
  // Value and input size budgets.
  EXPECT_THROW(read("\x93\x01\x02\x03", {.max_values = 3}), fn::DataFormatException);
  EXPECT_THROW(read(std::string(100, '\xc0'), {.max_input_bytes = 99}), fn::DataFormatException);

  // After a truncated value the deserializer stays at its end.
  fn::MemoryInputStream stream(std::string_view("\x01\x92\x01"));
  fn::mpack::Deserializer d(stream);
  EXPECT_EQ(d.deserialize()->asNumber<int>(), 1);
  EXPECT_FALSE(d.deserialize());
  EXPECT_FALSE(d.deserialize());
}

}  // namespace
