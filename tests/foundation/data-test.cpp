// The foundation's data pieces: values, MessagePack, Base64 and bytes.
#include <glib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <msgpack.hpp>
#include <optional>
#include <string>
#include <vector>

#include "foundation/base64.h"
#include "foundation/bytes.h"
#include "foundation/mpack.h"
#include "foundation/stream.h"
#include "foundation/value.h"

namespace {

using Limits = std::numeric_limits<int64_t>;
using Number = std::optional<long double>;

// What `v` converts to as T; nothing when it cannot convert exactly.
template <typename T>
Number
as(const fn::Value &v) {
  try {
    return v.asNumber<T>();
  } catch (const fn::RangeException &) {
    return std::nullopt;
  }
}

// A number converts only when nothing is lost: no wrap, no rounding, no NaN, no sign change;
// non-numbers never do.
TEST(Value, NumbersConvertOnlyWithoutLoss) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = HUGE_VAL;
  const int64_t kInt = std::numeric_limits<int>::max();
  const struct {
    fn::Value v;
    Number (*to)(const fn::Value &);
    Number want;
  } cases[] = {
      // clang-format off
      {fn::Value::NIL, as<int>, 0}, {fn::Value::NIL, as<float>, 0}, {true, as<size_t>, 1},
      {uint64_t{44100}, as<int>, 44100}, {-30, as<int>, -30}, {kInt, as<int>, kInt},
      {-kInt - 1, as<int>, -kInt - 1}, {kInt + 1, as<int>, {}}, {-kInt - 2, as<int>, {}},
      {UINT64_MAX, as<int>, {}}, {-1, as<size_t>, {}}, {UINT64_MAX, as<size_t>, SIZE_MAX},
      {uint64_t{1} << 32, as<uint32_t>, {}},
      // Integers to floating point only when the value survives the round trip; the last
      // ones round up to 2^64 and 2^63, beyond the source types.
      {16777216, as<float>, 16777216}, {16777217, as<float>, {}},
      {int64_t{1} << 53, as<double>, 0x1p53}, {(int64_t{1} << 53) + 1, as<double>, {}},
      {Limits::min(), as<float>, -0x1p63}, {UINT64_MAX, as<float>, {}},
      {Limits::max(), as<double>, {}},
      // float32 stays float32; float64 converts to float only when exactly single precision.
      {0.1f, as<float>, 0.1f}, {0.1f, as<double>, 0.1f}, {0.5, as<float>, 0.5},
      {double{0.1f}, as<float>, 0.1f}, {0.1, as<float>, {}}, {1e300, as<float>, {}},
      {1e-300, as<float>, {}}, {kInf, as<float>, kInf}, {kNaN, as<float>, {}},
      {float(kNaN), as<double>, {}},
      // To integers: integral, in range, with the right sign.
      {48000.0, as<int>, 48000}, {-2.0f, as<int>, -2}, {-0.0, as<size_t>, 0},
      {2.5, as<int>, {}}, {-1.0, as<size_t>, {}}, {2147483648.0, as<int>, {}},
      {-2147483648.0, as<int>, -kInt - 1}, {0x1p63, as<int64_t>, {}},
      {0x1p63, as<uint64_t>, 0x1p63}, {0x1p64, as<uint64_t>, {}}, {kInf, as<int>, {}},
      {float(kNaN), as<int>, {}},
      {"3", as<int>, {}}, {fn::ByteArray(1), as<float>, {}},
      {fn::Value::Array{3}, as<size_t>, {}}, {fn::Value::Map{}, as<int>, {}},
      // clang-format on
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].to(cases[i].v), cases[i].want) << "case " << i;
}

// Map lookups take the last of repeated keys and match integer keys of either kind; misuse is
// a DataFormatException, never a crash; copies are deep; the order is total and agrees with ==.
TEST(Value, StructureAccessAndOrder) {
  fn::Value entry(fn::Value::Map{
      {"azimuth", 30}, {"delay", fn::Value::Array{1u, 2u}}, {7, "seven"}, {"azimuth", 330}});
  EXPECT_EQ(entry["azimuth"].asNumber<int>(), 330);
  EXPECT_EQ(entry["delay"][1].asNumber<size_t>(), 2u);
  EXPECT_EQ(entry[fn::Value(7u)].asString(), "seven");
  EXPECT_TRUE(entry["taps"].isNil());
  EXPECT_THROW(entry.at("taps"), fn::DataFormatException);
  EXPECT_THROW(entry["delay"][2], fn::DataFormatException);
  EXPECT_THROW(entry["delay"][-1], fn::DataFormatException);
  EXPECT_THROW(entry["azimuth"][0], fn::DataFormatException);
  EXPECT_THROW(entry["delay"]["x"], fn::DataFormatException);
  EXPECT_THROW(entry["azimuth"].asString(), fn::DataFormatException);
  fn::Value copy = entry;
  copy.asMap()[0].second = fn::Value(1);
  EXPECT_EQ(entry.asMap()[0].second.asNumber<int>(), 30);

  // clang-format off
  const fn::Value ordered[] = {{}, false, true, Limits::min(), -1, 0u, UINT64_MAX, -1.5, 0.25f,
      std::numeric_limits<double>::quiet_NaN(), "", "a", "b", fn::ByteArray("\x80", 1),
      fn::Value::Array{}, fn::Value::Array{1}, fn::Value::Map{}};
  // clang-format on
  for (size_t i = 0; i < std::size(ordered); ++i)
    for (size_t j = 0; j < std::size(ordered); ++j) {
      EXPECT_EQ(ordered[i] < ordered[j], i < j) << i << " " << j;
      EXPECT_EQ(ordered[i] == ordered[j], i == j) << i << " " << j;
    }
  EXPECT_EQ(fn::Value(5), fn::Value(5u));
  EXPECT_EQ(fn::Value(0.5f), fn::Value(0.5));
}

// Reads `text` through the Base64 decoder in pieces of `step` bytes.
std::string
decode(const std::string &text, size_t step = 3) {
  fn::MemoryInputStream memory(text);
  fn::Base64Decoder decoder;
  fn::TransformInputStream stream(memory, decoder);
  std::string out(step, '\0'), all;
  while (size_t n = stream.read(out.data(), step)) all.append(out, 0, n);
  return all;
}

// RFC 4648 section 10, unpadded and line-wrapped text; malformed text is refused with where.
TEST(Base64Decoder, DecodesStrictly) {
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9vYmFy", "foobar"}, {"Zm9vYg", "foob"},
      {" Zm9v\r\nYmE =\n", "fooba"}, {"+/+/", "\xfb\xff\xbf"},
      {"Zm9v!mFy", "Invalid Base64 character 0x21 at offset 4"},
      {"Zm9v-_", "Invalid Base64 character 0x2d at offset 4"},
      {"Zm9\xc3\xa9", "Invalid Base64 character 0xc3 at offset 3"},
      {"Zg==Zg==", "Base64 data after padding at offset 4"},
      {"Z===", "Misplaced Base64 padding at offset 1"}, {"=Zg=", "Misplaced Base64 padding at offset 0"},
      {"Zg===", "Misplaced Base64 padding at offset 4"}, {"Zg=", "Incomplete Base64 padding"},
      {"Zm9vY", "Truncated Base64 data"}};
  // clang-format on
  for (const auto &[text, want] : cases) {
    try {
      EXPECT_EQ(decode(text), want) << text;
    } catch (const fn::DataFormatException &e) {
      EXPECT_EQ(e.what(), want) << text;
    }
  }
  // Large input, any final group, any piece size: the same as GLib.
  std::string data;
  for (int i = 0; i < 200000; ++i) data.push_back(static_cast<char>(i * 7 + (i >> 8)));
  for (size_t cut : {data.size(), data.size() - 1, data.size() - 2}) {
    const std::string part = data.substr(0, cut);
    gchar *text = g_base64_encode(reinterpret_cast<const guchar *>(part.data()), part.size());
    EXPECT_TRUE(decode(text, 1000) == part && decode(text, 7) == part) << cut;
    g_free(text);
  }
}

std::optional<fn::Value>
read(const std::string &data, fn::mpack::Limits limits = {}) {
  fn::MemoryInputStream stream(data);
  return fn::mpack::Deserializer(stream, limits).deserialize();
}

// Every kind, nested, as successive values; the same through Base64.
TEST(Deserializer, ReadsEveryKind_AlsoFromBase64) {
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> pk(buffer);
  pk.pack_nil().pack(true).pack(int64_t{-9000000000}).pack(uint64_t{18000000000000000000u});
  pk.pack(0.1).pack(std::string("h\0llo", 5)).pack_bin(3).pack_bin_body("\x00\xff\x10", 3);
  // A map of rates with an array key, float32 taps and an extension value.
  pk.pack_map(2).pack(std::vector<int>{1, 2}).pack_map(2).pack("taps");
  pk.pack(std::vector<float>{0.5f, 0.1f}).pack("note").pack_ext(2, 7).pack_ext_body("\x01\x02", 2);
  pk.pack(48000).pack(-30);
  const std::string bytes(buffer.data(), buffer.size());
  gchar *text = g_base64_encode(reinterpret_cast<const guchar *>(bytes.data()), bytes.size());
  for (const std::string &input : {bytes, decode(text)}) {
    fn::MemoryInputStream stream(input);
    fn::mpack::Deserializer d(stream);
    std::vector<fn::Value> v;
    while (std::optional<fn::Value> value = d.deserialize()) v.push_back(std::move(*value));
    ASSERT_EQ(v.size(), 8u);
    EXPECT_TRUE(v[0].isNil() && v[1].asBool());
    EXPECT_EQ(v[2].asNumber<int64_t>(), -9000000000);
    EXPECT_EQ(v[3].asNumber<uint64_t>(), 18000000000000000000u);
    EXPECT_EQ(v[4].type(), fn::Value::Type::Float64);
    EXPECT_EQ(v[5].asString(), fn::String("h\0llo", 5));
    EXPECT_EQ(v[6].asBinary(), fn::ByteArray("\x00\xff\x10", 3));
    const fn::Value &entry = v[7][fn::Value::Array{1, 2}];
    EXPECT_EQ(entry["taps"][1].type(), fn::Value::Type::Float32);
    EXPECT_EQ(entry["taps"][1].asNumber<float>(), 0.1f);
    EXPECT_TRUE(entry.contains("note") && entry["note"].isNil());
    // Non-negative integers arrive unsigned; lookups match either kind.
    EXPECT_EQ(v[7].asMap()[1].first.type(), fn::Value::Type::UnsignedInteger);
    EXPECT_EQ(v[7][fn::Value(48000)].asNumber<int>(), -30);
  }
  g_free(text);
}

// Truncated, reserved or oversized input gives no value, deep nesting and exceeded budgets an
// error; neither allocates what a hostile count declares. After a bad value nothing follows.
TEST(Deserializer, HostileInput_NoValueOrAnError) {
  const struct {
    std::string bytes;
    fn::mpack::Limits limits;
    int want;  // 1 a value, 0 none, -1 an error
  } cases[] = {
      // clang-format off
      {"", {}, 0}, {"\x92\x01", {}, 0}, {"\xa5hel", {}, 0}, {"\xc1", {}, 0},
      {"\xdd\xff\xff\xff\xff", {}, 0}, {"\xdf\xff\xff\xff\xff\x01", {}, 0},
      {"\xdb\xff\xff\xff\xff" "abc", {}, 0}, {"\xc6\xff\xff\xff\xff", {}, 0},
      {std::string(100000, '\x91') + '\x01', {}, -1}, {std::string(64, '\x91') + '\x01', {}, 1},
      {"\x93\x01\x02\x03", {.max_values = 3}, -1},
      {std::string(100, '\xc0'), {.max_input_bytes = 99}, -1},
      // clang-format on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes.substr(0, 8)));
    try {
      EXPECT_EQ(read(c.bytes, c.limits).has_value(), c.want == 1);
      EXPECT_NE(c.want, -1);
    } catch (const fn::DataFormatException &) {
      EXPECT_EQ(c.want, -1);
    }
  }
  fn::MemoryInputStream stream(std::string_view("\x01\x92\x01"));
  fn::mpack::Deserializer d(stream);
  EXPECT_EQ(d.deserialize()->asNumber<int>(), 1);
  EXPECT_FALSE(d.deserialize());
  EXPECT_FALSE(d.deserialize());
}

// FIPS 180-4 vectors, over a part of a buffer too; byte arrays grow keeping their contents,
// also when appending a range of themselves.
TEST(Bytes, SHA256AndGrowth) {
  const std::string million(1000000, 'a'), padded = "xxabcxx";
  EXPECT_EQ(fn::ByteView("", 0).SHA256Hex(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(fn::ByteView(padded.data() + 2, 3).SHA256Hex(),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(fn::ByteView(million.data(), million.size()).SHA256Hex(),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  fn::ByteArray a;
  for (int i = 0; i < 1000; ++i) a.append(static_cast<uint8_t>(i));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(a[i], static_cast<uint8_t>(i)) << i;
  fn::ByteArray b("abc", 3);
  b.append(b.data(), b.size());
  b.append(b.data() + 1, 2);
  fn::ByteArray c = b;
  c.resize(10);
  EXPECT_EQ(c, fn::ByteArray("abcabcbc\0\0", 10));
  c.resize(2);
  EXPECT_EQ(c, fn::ByteArray("ab", 2));
  EXPECT_EQ(b, fn::ByteArray("abcabcbc", 8));
  fn::ByteArray moved = std::move(b);
  EXPECT_TRUE(b.empty() && moved.size() == 8);
}

}  // namespace
