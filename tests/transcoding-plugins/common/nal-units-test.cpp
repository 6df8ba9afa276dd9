#include "transcoding-plugins/common/nal-units.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<guint8>;

std::vector<std::pair<gsize, gsize>>
walk(const Bytes &data, guint length_size, nal::Overrun overrun, gsize min_payload = 1)
{
  nal::LengthPrefixedWalker w(data.data(), data.size(), length_size, overrun, min_payload);
  std::vector<std::pair<gsize, gsize>> units;
  nal::Unit u;
  while (w.next(&u)) units.emplace_back(u.offset, u.size);
  return units;
}

TEST(LengthPrefixedWalker, YieldsUnitsAndHandlesOverrun)
{
  const Bytes data = {0, 0, 0, 2, 0x65, 0xAA, 0, 0, 0, 9, 0x41, 0xBB};
  using V = std::vector<std::pair<gsize, gsize>>;
  EXPECT_EQ(walk(data, 4, nal::Overrun::kClamp), (V{{4, 2}, {10, 2}}));
  EXPECT_EQ(walk(data, 4, nal::Overrun::kStop), (V{{4, 2}}));
  // Too few bytes after the prefix for min_payload: nothing more is read.
  EXPECT_EQ(walk(Bytes{0, 0, 0, 1, 0x09}, 4, nal::Overrun::kClamp, 2), V{});
  // Invalid prefix sizes yield nothing; zero-length units are walked over.
  EXPECT_EQ(walk(data, 0, nal::Overrun::kClamp), V{});
  EXPECT_EQ(walk(data, 5, nal::Overrun::kClamp), V{});
  EXPECT_EQ(walk(Bytes{0, 0, 1, 0x09}, 1, nal::Overrun::kClamp), (V{{1, 0}, {2, 0}, {3, 1}}));
}

TEST(ByteStreamWalker, SplitsAtThreeAndFourByteStartCodes)
{
  const Bytes data = {0xFF, 0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0, 0, 0, 0, 1, 0x65, 0x88};
  nal::ByteStreamWalker w(data.data(), data.size());
  nal::Unit u;
  std::vector<Bytes> units;
  while (w.next(&u)) units.emplace_back(data.begin() + u.offset, data.begin() + u.offset + u.size);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0], (Bytes{0x67, 0x42}));
  EXPECT_EQ(units[1], (Bytes{0x68}));
  EXPECT_EQ(units[2], (Bytes{0x65, 0x88}));
}

TEST(EmulationPrevention, RoundTripsEveryZeroPattern)
{
  const Bytes raw = {0x67, 0, 0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0};
  const Bytes escaped = nal::add_emulation_prevention(raw.data(), raw.size(), 1);
  const Bytes expected = {0x67, 0, 0, 3, 0, 0, 3, 0, 1, 0, 0, 3, 2, 0, 0, 3, 3, 0, 0, 4, 0, 0};
  EXPECT_EQ(escaped, expected);
  EXPECT_EQ(nal::remove_emulation_prevention(escaped.data(), escaped.size()), raw);

  // The bounded form gives the same bytes and stops when the output is full.
  Bytes out(raw.size());
  EXPECT_EQ(nal::remove_emulation_prevention(escaped.data(), escaped.size(), out.data(),
                                             out.size()),
            raw.size());
  EXPECT_EQ(out, raw);
  Bytes head(5);
  EXPECT_EQ(nal::remove_emulation_prevention(escaped.data(), escaped.size(), head.data(), 5), 5u);
  EXPECT_EQ(head, Bytes(raw.begin(), raw.begin() + 5));
}

}  // namespace
