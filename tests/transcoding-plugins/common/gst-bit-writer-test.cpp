#include "transcoding-plugins/common/gst-bit-writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<guint8>;

// One ue(v) read from `bytes`: whether it was read, the value (77 when not) and where the reader
// is left.
std::tuple<bool, guint32, guint>
read_ue(const Bytes &bytes)
{
  GstBitReader r = {bytes.data(), guint(bytes.size()), 0, 0, {}};  // as GST_BIT_READER_INIT
  guint32 v = 77;  // a braced list is evaluated in order
  return {bool(bit_reader_get_ue(&r, &v)), v, gst_bit_reader_get_pos(&r)};
}

// The writers give the codes of clause 9.1 and the reader reads them back, up to the largest
// 32-bit value; the fixed-width writers are checked through the SPS rewrites that use them.
TEST(ExpGolomb, WriterAndReaderFollowClause9)
{
  // {value, written with se}: se(v) is ue(2v - 1) for v > 0 and ue(-2v) otherwise. 2^32 - 1
  // has no 32-bit code: the writer refuses it and writes nothing.
  std::vector<std::pair<gint64, bool>> vs = {
      {0xFFFFFFFE, false}, {0xFFFFFFFF, false}, {G_MAXINT32, true}, {-G_MAXINT32, true}};
  for (gint64 v = -300; v < 300; ++v) vs.insert(vs.end(), {{v < 0 ? -v : v, false}, {v, true}});
  for (int s = 9; s < 32; ++s) vs.insert(vs.end(), {{(1ll << s) - 1, false}, {1ll << s, false}});
  for (auto [v, se] : vs) {
    SCOPED_TRACE(testing::Message() << (se ? "se " : "ue ") << v);
    const guint64 code = !se ? v : v > 0 ? 2 * v - 1 : -2 * v;
    // Written out independently: code + 1 in binary, after as many zeros as it has bits after
    // its first.
    std::string want;
    for (guint64 c = code + 1; c; c >>= 1) want = char('0' + (c & 1)) + want;
    want = std::string(want.size() - 1, '0') + want;
    Bytes bytes((want.size() + 7) / 8);
    for (gsize i = 0; i < want.size(); ++i) bytes[i / 8] |= (want[i] - '0') << (7 - i % 8);
    const bool fits = want.size() < 64;
    GstBitWriter *w = gst_bit_writer_new();
    EXPECT_EQ(bool(se ? gst_bit_writer_write_se(w, v) : gst_bit_writer_write_ue(w, v)), fits);
    EXPECT_EQ(gst_bit_writer_get_size(w), fits ? want.size() : 0);
    EXPECT_EQ(Bytes(w->data, w->data + (fits ? bytes.size() : 0)), fits ? bytes : Bytes{});
    gst_bit_writer_free(w);
    EXPECT_EQ(read_ue(bytes), fits ? std::make_tuple(true, guint32(code), guint(want.size()))
                                   : std::make_tuple(false, 77u, 33u));
  }
  // Empty, no terminating 1 and value bits cut short; 32 leading zeros (a value above 32 bits)
  // are read above as the code of 2^32 - 1.
  const std::pair<Bytes, guint> bad[] = {{{}, 0}, {{0, 0}, 16}, {{1}, 8}};
  for (const auto &[bytes, pos] : bad) EXPECT_EQ(read_ue(bytes), std::make_tuple(false, 77u, pos));
}

}  // namespace
