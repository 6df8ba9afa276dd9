#include "foundation/value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace {

constexpr const char *kLoss = "Value can not be converted to requested type without loss";
constexpr const char *kNotIntegral = "Value can not be implicitly converted to integral type";

// The message of the RangeException that converting v to T raises, or "" when it converts.
template <typename T>
std::string
failure(const fn::Value &v) {
  try {
    (void)v.asNumber<T>();
    return "";
  } catch (const fn::RangeException &e) {
    return e.what();
  }
}

TEST(ValueNumbers, NilBooleanAndIntegers) {
  EXPECT_EQ(fn::Value::NIL.asNumber<int>(), 0);
  EXPECT_EQ(fn::Value::NIL.asNumber<float>(), 0.0f);
  EXPECT_EQ(fn::Value(true).asNumber<size_t>(), 1u);
  EXPECT_EQ(fn::Value(false).asNumber<float>(), 0.0f);

  EXPECT_EQ(fn::Value(uint64_t{44100}).asNumber<int>(), 44100);
  EXPECT_EQ(fn::Value(int64_t{-30}).asNumber<int>(), -30);
  EXPECT_EQ(fn::Value(std::numeric_limits<int>::max()).asNumber<int>(),
            std::numeric_limits<int>::max());
  EXPECT_EQ(fn::Value(std::numeric_limits<int>::min()).asNumber<int>(),
            std::numeric_limits<int>::min());
  EXPECT_EQ(failure<int>(fn::Value(int64_t{std::numeric_limits<int>::max()} + 1)), kLoss);
  EXPECT_EQ(failure<int>(fn::Value(int64_t{std::numeric_limits<int>::min()} - 1)), kLoss);
  EXPECT_EQ(failure<int>(fn::Value(std::numeric_limits<uint64_t>::max())), kLoss);
  // Negative to unsigned: never wraps.
  EXPECT_EQ(failure<size_t>(fn::Value(-1)), kLoss);
  EXPECT_EQ(fn::Value(std::numeric_limits<uint64_t>::max()).asNumber<size_t>(), SIZE_MAX);
  EXPECT_EQ(failure<uint32_t>(fn::Value(uint64_t{1} << 32)), kLoss);

  // Integers to floating point only when the value survives the round trip.
  EXPECT_EQ(fn::Value(16777216).asNumber<float>(), 16777216.0f);
  EXPECT_EQ(failure<float>(fn::Value(16777217)), kLoss);
  EXPECT_EQ(fn::Value(int64_t{1} << 53).asNumber<double>(), 9007199254740992.0);
  EXPECT_EQ(failure<double>(fn::Value((int64_t{1} << 53) + 1)), kLoss);
  // Rounds up to 2^64 and 2^63, which the source types cannot hold.
  EXPECT_EQ(failure<float>(fn::Value(std::numeric_limits<uint64_t>::max())), kLoss);
  EXPECT_EQ(failure<double>(fn::Value(std::numeric_limits<int64_t>::max())), kLoss);
  EXPECT_EQ(fn::Value(std::numeric_limits<int64_t>::min()).asNumber<float>(), -0x1p63f);
}

TEST(ValueNumbers, FloatsConvertOnlyExactly) {
  // float32 stays float32: any float32 value converts to float.
  EXPECT_EQ(fn::Value(0.1f).asNumber<float>(), 0.1f);
  EXPECT_EQ(fn::Value(0.1f).asNumber<double>(), static_cast<double>(0.1f));
  // float64 to float: only values that are exactly single precision.
  EXPECT_EQ(fn::Value(0.5).asNumber<float>(), 0.5f);
  EXPECT_EQ(fn::Value(static_cast<double>(0.1f)).asNumber<float>(), 0.1f);
  EXPECT_EQ(failure<float>(fn::Value(0.1)), kLoss);
  EXPECT_EQ(failure<float>(fn::Value(1e300)), kLoss);   // beyond float's range
  EXPECT_EQ(failure<float>(fn::Value(1e-300)), kLoss);  // underflows
  EXPECT_EQ(fn::Value(std::numeric_limits<double>::infinity()).asNumber<float>(),
            std::numeric_limits<float>::infinity());
  EXPECT_EQ(failure<float>(fn::Value(std::numeric_limits<double>::quiet_NaN())), kLoss);
  EXPECT_EQ(failure<double>(fn::Value(std::numeric_limits<float>::quiet_NaN())), kLoss);

  // To integers: integral, in range, with the right sign.
  EXPECT_EQ(fn::Value(48000.0).asNumber<int>(), 48000);
  EXPECT_EQ(fn::Value(-2.0f).asNumber<int>(), -2);
  EXPECT_EQ(fn::Value(-0.0).asNumber<size_t>(), 0u);
  EXPECT_EQ(failure<int>(fn::Value(2.5)), kLoss);
  EXPECT_EQ(failure<size_t>(fn::Value(-1.0)), kLoss);
  EXPECT_EQ(failure<int>(fn::Value(2147483648.0)), kLoss);
  EXPECT_EQ(fn::Value(-2147483648.0).asNumber<int>(), std::numeric_limits<int>::min());
  EXPECT_EQ(failure<int64_t>(fn::Value(0x1p63)), kLoss);
  EXPECT_EQ(fn::Value(0x1p63).asNumber<uint64_t>(), uint64_t{1} << 63);
  EXPECT_EQ(failure<uint64_t>(fn::Value(0x1p64)), kLoss);
  EXPECT_EQ(failure<int>(fn::Value(std::numeric_limits<double>::infinity())), kLoss);
  EXPECT_EQ(failure<int>(fn::Value(std::numeric_limits<float>::quiet_NaN())), kLoss);
}

TEST(ValueNumbers, NonNumbersAreNotIntegral) {
  const fn::Value values[] = {fn::Value("3"), fn::Value(fn::ByteArray("\x03", 1)),
                              fn::Value(fn::Value::Array{fn::Value(3)}),
                              fn::Value(fn::Value::Map{})};
  for (const fn::Value &v : values) {
    EXPECT_EQ(failure<int>(v), kNotIntegral);
    EXPECT_EQ(failure<size_t>(v), kNotIntegral);
    EXPECT_EQ(failure<float>(v), kNotIntegral);
  }
}

TEST(ValueStructure, AccessAndMisuse) {
  fn::Value entry(fn::Value::Map{
      {fn::Value("azimuth"), fn::Value(30)},
      {fn::Value("delay"), fn::Value(fn::Value::Array{fn::Value(1u), fn::Value(2u)})},
      {fn::Value(7), fn::Value("seven")},
      {fn::Value("azimuth"), fn::Value(330)},  // a repeated key overrides
  });
  EXPECT_EQ(entry["azimuth"].asNumber<int>(), 330);
  EXPECT_EQ(entry["delay"][1].asNumber<size_t>(), 2u);
  // Integer keys match whatever integer kind the document used.
  EXPECT_EQ(entry[fn::Value(7u)].asString(), "seven");
  EXPECT_TRUE(entry["taps"].isNil());
  EXPECT_EQ(entry["taps"].asNumber<int>(), 0);

  EXPECT_THROW(entry.at("taps"), fn::DataFormatException);
  EXPECT_THROW(entry["delay"][2], fn::DataFormatException);
  EXPECT_THROW(entry["delay"][-1], fn::DataFormatException);
  EXPECT_THROW(entry["azimuth"][0], fn::DataFormatException);
  EXPECT_THROW(entry["delay"]["x"], fn::DataFormatException);
  EXPECT_THROW(entry[0], fn::DataFormatException);
  EXPECT_THROW(entry["azimuth"].asString(), fn::DataFormatException);
  try {
    entry.at("taps");
  } catch (const fn::DataFormatException &e) {
    EXPECT_STREQ(e.what(), "Missing map key \"taps\"");
  }

  // Copies are deep.
  fn::Value copy = entry;
  copy.asMap()[0].second = fn::Value(1);
  EXPECT_EQ(entry.asMap()[0].second.asNumber<int>(), 30);
}

TEST(ValueOrder, IsTotalAndConsistentWithEquality) {
  const fn::Value ordered[] = {
      fn::Value(),
      fn::Value(false),
      fn::Value(true),
      fn::Value(std::numeric_limits<int64_t>::min()),
      fn::Value(-1),
      fn::Value(0u),
      fn::Value(std::numeric_limits<uint64_t>::max()),
      fn::Value(-1.5),
      fn::Value(0.25f),
      fn::Value(std::numeric_limits<double>::quiet_NaN()),
      fn::Value(""),
      fn::Value("a"),
      fn::Value("b"),
      fn::Value(fn::ByteArray("\x80", 1)),
      fn::Value(fn::Value::Array{}),
      fn::Value(fn::Value::Array{fn::Value(1)}),
      fn::Value(fn::Value::Map{}),
  };
  const size_t n = std::size(ordered);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) {
      EXPECT_EQ(ordered[i] < ordered[j], i < j) << i << " " << j;
      EXPECT_EQ(ordered[i] == ordered[j], i == j) << i << " " << j;
    }
  EXPECT_EQ(fn::Value(5), fn::Value(5u));
  EXPECT_EQ(fn::Value(0.5f), fn::Value(0.5));
}

}  // namespace
