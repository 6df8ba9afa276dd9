#include "transcoding-plugins/common/gst-bit-writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Clause 9.1 written out independently: v + 1 in binary, after as many zeros as it has bits
// after its first.
std::string
reference_ue(guint64 v)
{
  std::string bin;
  for (guint64 c = v + 1; c; c >>= 1) bin.insert(bin.begin(), char('0' + (c & 1)));
  return std::string(bin.size() - 1, '0') + bin;
}

// The writers give the reference codes, and the reader reads them back, up to the largest
// 32-bit value; the fixed-width writers are checked through the SPS rewrites that use them.
TEST(ExpGolomb, WriterAndReaderFollowClause9)
{
  // {value, written with se}: se(v) is ue(2v - 1) for v > 0 and ue(-2v) otherwise.
  std::vector<std::pair<gint64, bool>> vs = {
      {0xFFFFFFFE, false}, {G_MAXINT32, true}, {-G_MAXINT32, true}};
  for (gint64 v = -300; v < 300; ++v) vs.insert(vs.end(), {{v < 0 ? -v : v, false}, {v, true}});
  for (int s = 9; s < 32; ++s) vs.insert(vs.end(), {{(1ll << s) - 1, false}, {1ll << s, false}});
  for (auto [v, se] : vs) {
    SCOPED_TRACE(testing::Message() << (se ? "se " : "ue ") << v);
    const guint64 code = !se ? v : v > 0 ? 2 * v - 1 : -2 * v;
    const std::string want = reference_ue(code);
    std::vector<guint8> bytes((want.size() + 7) / 8);
    for (gsize i = 0; i < want.size(); ++i) bytes[i / 8] |= (want[i] - '0') << (7 - i % 8);
    GstBitWriter w;
    gst_bit_writer_init(&w);
    ASSERT_TRUE(se ? gst_bit_writer_write_se(&w, v) : gst_bit_writer_write_ue(&w, v));
    const guint8 *written = gst_bit_writer_get_data(&w);
    EXPECT_EQ(gst_bit_writer_get_size(&w), want.size());
    EXPECT_EQ(std::vector<guint8>(written, written + bytes.size()), bytes);
    gst_bit_writer_reset(&w);
    GstBitReader r;
    gst_bit_reader_init(&r, bytes.data(), guint(bytes.size()));
    guint32 read = 0;
    ASSERT_TRUE(bit_reader_get_ue(&r, &read));
    EXPECT_EQ(read, code);
    EXPECT_EQ(gst_bit_reader_get_pos(&r), want.size());
  }
}

TEST(ExpGolomb, FailuresLeaveTheResultAlone)
{
  GstBitWriter w;
  gst_bit_writer_init(&w);
  EXPECT_FALSE(gst_bit_writer_write_ue(&w, 0xFFFFFFFFu));  // no 32-bit code
  EXPECT_EQ(gst_bit_writer_get_size(&w), 0u);
  gst_bit_writer_reset(&w);
  // {input, where the reader is left}: empty, no terminating 1, value bits cut short, and 32
  // leading zeros (a value above 32 bits).
  const std::pair<std::vector<guint8>, guint> cases[] = {
      {{}, 0}, {{0, 0}, 16}, {{0x01}, 8}, {{0, 0, 0, 0, 0x80, 0, 0, 0, 0}, 33}};
  for (const auto &[bytes, pos] : cases) {
    GstBitReader r;
    gst_bit_reader_init(&r, bytes.data(), guint(bytes.size()));
    guint32 v = 77;
    EXPECT_FALSE(bit_reader_get_ue(&r, &v)) << pos;
    EXPECT_EQ(v, 77u);
    EXPECT_EQ(gst_bit_reader_get_pos(&r), pos);
  }
}

}  // namespace
