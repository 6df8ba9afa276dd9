#include "transcoding-plugins/common/gst-bit-writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/glog-guard.h"

namespace {

GstBitReader
reader(const guint8 *data, guint size)
{
  GstBitReader r;
  gst_bit_reader_init(&r, data, size);
  return r;
}

// Bits written so far as a '0'/'1' string.
std::string
bits_of(GstBitWriter *w)
{
  const guint8 *data = gst_bit_writer_get_data(w);
  const guint n = gst_bit_writer_get_size(w);
  std::string out;
  for (guint i = 0; i < n; ++i) out += (data[i / 8] >> (7 - i % 8)) & 1 ? '1' : '0';
  return out;
}

class BitWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { gst_bit_writer_init(&w_); }
  void TearDown() override { gst_bit_writer_reset(&w_); }
  GstBitWriter w_;
};

TEST_F(BitWriterTest, UeCodes_MatchClause9)
{
  const std::vector<std::pair<guint32, std::string>> cases = {
      {0, "1"}, {1, "010"}, {2, "011"}, {3, "00100"}, {6, "00111"}, {7, "0001000"}};
  for (const auto &[value, expected] : cases) {
    gst_bit_writer_reset(&w_);
    gst_bit_writer_init(&w_);
    ASSERT_TRUE(gst_bit_writer_write_ue(&w_, value));
    EXPECT_EQ(bits_of(&w_), expected) << value;
  }
}

TEST_F(BitWriterTest, UeLargestValue_Takes63Bits)
{
  ASSERT_TRUE(gst_bit_writer_write_ue(&w_, 0xFFFFFFFEu));
  EXPECT_EQ(bits_of(&w_), std::string(31, '0') + std::string(32, '1'));
}

TEST_F(BitWriterTest, UeAllOnes_FailsWithoutWriting)
{
  EXPECT_FALSE(gst_bit_writer_write_ue(&w_, 0xFFFFFFFFu));
  EXPECT_EQ(gst_bit_writer_get_size(&w_), 0u);
}

TEST_F(BitWriterTest, SeCodes_MapSignsAlternately)
{
  const std::vector<std::pair<gint32, std::string>> cases = {
      {0, "1"}, {1, "010"}, {-1, "011"}, {2, "00100"}, {-2, "00101"}};
  for (const auto &[value, expected] : cases) {
    gst_bit_writer_reset(&w_);
    gst_bit_writer_init(&w_);
    ASSERT_TRUE(gst_bit_writer_write_se(&w_, value));
    EXPECT_EQ(bits_of(&w_), expected) << value;
  }
  gst_bit_writer_reset(&w_);
  gst_bit_writer_init(&w_);
  // Extremes of the allowed range do not overflow.
  ASSERT_TRUE(gst_bit_writer_write_se(&w_, G_MAXINT32));
  ASSERT_TRUE(gst_bit_writer_write_se(&w_, -G_MAXINT32));
  GstBitReader r = reader(gst_bit_writer_get_data(&w_),
                                       (gst_bit_writer_get_size(&w_) + 7) / 8);
  guint32 v = 0;
  ASSERT_TRUE(bit_reader_get_ue(&r, &v));
  EXPECT_EQ(v, 0xFFFFFFFDu);
  ASSERT_TRUE(bit_reader_get_ue(&r, &v));
  EXPECT_EQ(v, 0xFFFFFFFEu);
}

TEST_F(BitWriterTest, FixedWidth_SpansByteBoundaries)
{
  ASSERT_TRUE(gst_bit_writer_put_bits_uint8(&w_, 0, 3));
  ASSERT_TRUE(gst_bit_writer_write_uint8(&w_, 0xFF));
  ASSERT_EQ(gst_bit_writer_get_size(&w_), 11u);
  const guint8 *d = gst_bit_writer_get_data(&w_);
  EXPECT_EQ(d[0], 0x1F);
  EXPECT_EQ(d[1] & 0xE0, 0xE0);

  ASSERT_TRUE(gst_bit_writer_write_uint16(&w_, 0xA5C3));
  ASSERT_TRUE(gst_bit_writer_write_uint32(&w_, 0xDEADBEEF));
  GstBitReader r = reader(gst_bit_writer_get_data(&w_), 8);
  guint32 v;
  ASSERT_TRUE(gst_bit_reader_skip(&r, 11));
  ASSERT_TRUE(gst_bit_reader_get_bits_uint32(&r, &v, 16));
  EXPECT_EQ(v, 0xA5C3u);
  ASSERT_TRUE(gst_bit_reader_get_bits_uint32(&r, &v, 32));
  EXPECT_EQ(v, 0xDEADBEEFu);
}

TEST_F(BitWriterTest, FixedSizeWriter_RefusesWritesPastCapacity)
{
  guint8 storage[1] = {0};
  GstBitWriter fixed;
  gst_bit_writer_init_with_data(&fixed, storage, 1, FALSE);
  EXPECT_TRUE(gst_bit_writer_write_uint8(&fixed, 0xAB));
  EXPECT_FALSE(gst_bit_writer_write_ue(&fixed, 0));
  EXPECT_FALSE(gst_bit_writer_write_uint16(&fixed, 1));
  EXPECT_EQ(storage[0], 0xAB);
  gst_bit_writer_reset(&fixed);
}

TEST_F(BitWriterTest, RoundTrip_WriterAndReaderAgree)
{
  std::vector<guint32> values;
  for (guint32 v = 0; v < 300; ++v) values.push_back(v);
  for (guint32 shift = 9; shift < 32; ++shift) values.push_back((1u << shift) - 1);
  for (guint32 v : values) ASSERT_TRUE(gst_bit_writer_write_ue(&w_, v));
  GstBitReader r = reader(gst_bit_writer_get_data(&w_),
                                       (gst_bit_writer_get_size(&w_) + 7) / 8);
  for (guint32 expected : values) {
    guint32 v = 12345;
    ASSERT_TRUE(bit_reader_get_ue(&r, &v));
    ASSERT_EQ(v, expected);
  }
}

TEST(BitReaderUe, DecodesSingleBytes)
{
  const std::vector<std::pair<guint8, guint32>> cases = {{0x80, 0}, {0x40, 1}, {0x60, 2}};
  for (const auto &[byte, expected] : cases) {
    GstBitReader r = reader(&byte, 1);
    guint32 v = 99;
    ASSERT_TRUE(bit_reader_get_ue(&r, &v));
    EXPECT_EQ(v, expected);
  }
}

TEST(BitReaderUe, Failures_LeaveResultAndStopAfterConsumedBits)
{
  guint32 v = 77;
  const guint8 zeros[2] = {0, 0};
  GstBitReader r = reader(zeros, 2);
  EXPECT_FALSE(bit_reader_get_ue(&r, &v));
  EXPECT_EQ(v, 77u);

  GstBitReader empty = reader(zeros, 0);
  EXPECT_FALSE(bit_reader_get_ue(&empty, &v));

  const guint8 cut[1] = {0x10};  // three zeros, the 1, value bits 000
  GstBitReader c = reader(cut, 1);
  ASSERT_TRUE(bit_reader_get_ue(&c, &v));
  EXPECT_EQ(v, 7u);
  const guint8 short_code[1] = {0x01};  // seven zeros, the 1, no value bits left
  GstBitReader s = reader(short_code, 1);
  v = 5;
  EXPECT_FALSE(bit_reader_get_ue(&s, &v));
  EXPECT_EQ(v, 5u);
  EXPECT_EQ(gst_bit_reader_get_pos(&s), 8u);
}

TEST(BitReaderUe, ThirtyTwoLeadingZeros_Fails)
{
  // 32 zeros, a 1 and 32 value bits: the value does not fit in 32 bits.
  const guint8 data[9] = {0, 0, 0, 0, 0x80, 0, 0, 0, 0};
  GstBitReader r = reader(data, sizeof data);
  guint32 v = 3;
  EXPECT_FALSE(bit_reader_get_ue(&r, &v));
  EXPECT_EQ(v, 3u);
  // 31 zeros is the longest valid code.
  const guint8 ok[8] = {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE};
  GstBitReader r2 = reader(ok, sizeof ok);
  ASSERT_TRUE(bit_reader_get_ue(&r2, &v));
  EXPECT_EQ(v, 0xFFFFFFFEu);
}

}  // namespace
