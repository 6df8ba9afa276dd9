#include "transcoding-plugins/common/aspect-ratio.h"

#include <array>
#include <numeric>

namespace aspect {
namespace {

// H.264 / H.265 Table E-1, indexed by aspect_ratio_idc - 1.
constexpr std::array<Ratio, 16> kTableE1 = {{
    {1, 1}, {12, 11}, {10, 11}, {16, 11}, {40, 33}, {24, 11}, {20, 11}, {32, 11},
    {80, 33}, {18, 11}, {15, 11}, {64, 33}, {160, 99}, {4, 3}, {3, 2}, {2, 1},
}};

}  // namespace

Ratio
table_ratio(guint8 aspect_ratio_idc)
{
  if (aspect_ratio_idc < 1 || aspect_ratio_idc > kTableE1.size()) return {0, 0};
  return kTableE1[aspect_ratio_idc - 1];
}

guint8
table_index(guint32 num, guint32 den)
{
  for (gsize i = 0; i < kTableE1.size(); ++i)
    if (kTableE1[i] == Ratio{num, den}) return static_cast<guint8>(i + 1);
  return kExtendedSar;
}

bool
fit_16bit(guint32 num, guint32 den, Ratio *out)
{
  if (num == 0 || den == 0) return false;
  if (num > G_MAXUINT16 || den > G_MAXUINT16) {
    const guint32 g = std::gcd(num, den);
    num /= g;
    den /= g;
  }
  if (num > G_MAXUINT16 || den > G_MAXUINT16) return false;
  *out = {num, den};
  return true;
}

}  // namespace aspect
