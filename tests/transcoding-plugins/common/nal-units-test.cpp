#include "transcoding-plugins/common/nal-units.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<guint8>;
using Units = std::vector<std::pair<gsize, gsize>>;  // offset, size

Units
walk(const Bytes &data, guint length_size, nal::Overrun overrun = nal::Overrun::kClamp,
     gsize min_payload = 1)
{
  nal::LengthPrefixedWalker w(data.data(), data.size(), length_size, overrun, min_payload);
  Units units;
  for (nal::Unit u; w.next(&u);) units.emplace_back(u.offset, u.size);
  return units;
}

TEST(LengthPrefixedWalker, YieldsUnitsAndHandlesOverrun)
{
  const Bytes data = {0, 0, 0, 2, 0x65, 0xAA, 0, 0, 0, 9, 0x41, 0xBB};
  EXPECT_EQ(walk(data, 4), (Units{{4, 2}, {10, 2}}));
  EXPECT_EQ(walk(data, 4, nal::Overrun::kStop), (Units{{4, 2}}));
  // Too few bytes after the prefix for min_payload: nothing more is read.
  EXPECT_EQ(walk(Bytes{0, 0, 0, 1, 0x09}, 4, nal::Overrun::kClamp, 2), Units{});
  // Invalid prefix sizes yield nothing; zero-length units are walked over.
  EXPECT_EQ(walk(data, 0), Units{});
  EXPECT_EQ(walk(data, 5), Units{});
  EXPECT_EQ(walk(Bytes{0, 0, 1, 0x09}, 1), (Units{{1, 0}, {2, 0}, {3, 1}}));
}

TEST(EmulationPrevention, RoundTripsEveryZeroPattern)
{
  const Bytes raw = {0x67, 0, 0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0};
  const Bytes esc = {0x67, 0, 0, 3, 0, 0, 3, 0, 1, 0, 0, 3, 2, 0, 0, 3, 3, 0, 0, 4, 0, 0};
  EXPECT_EQ(nal::add_emulation_prevention(raw.data(), raw.size(), 1), esc);
  EXPECT_EQ(nal::remove_emulation_prevention(esc.data(), esc.size()), raw);
  // The bounded form gives the same bytes and stops when the output is full.
  for (gsize capacity : {raw.size(), gsize(5)}) {
    Bytes out(capacity);
    const gsize n = nal::remove_emulation_prevention(esc.data(), esc.size(), out.data(), capacity);
    EXPECT_EQ(n, capacity);
    EXPECT_EQ(out, Bytes(raw.begin(), raw.begin() + capacity));
  }
}

}  // namespace
