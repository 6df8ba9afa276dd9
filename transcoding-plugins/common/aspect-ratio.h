// Sample aspect ratio signalling of H.264 and H.265 VUI (Table E-1 of both standards).
#pragma once

#include <glib.h>

namespace aspect {

struct Ratio {
  guint32 num = 0;
  guint32 den = 0;
  bool operator==(const Ratio &) const = default;
};

// aspect_ratio_idc value that signals sar_width and sar_height explicitly.
inline constexpr guint8 kExtendedSar = 255;

// The ratio of a Table E-1 index (1..16); 0:0 for 0 and the reserved values 17..254.
// Extended_SAR is not resolved here: its terms live in the VUI.
Ratio table_ratio(guint8 aspect_ratio_idc);

// The Table E-1 index whose ratio equals num:den term by term (no reduction: 2:2 is not 1:1),
// or kExtendedSar when none does.
guint8 table_index(guint32 num, guint32 den);

// Fits num:den into the 16-bit sar_width and sar_height: kept as it is when both terms fit,
// otherwise reduced by their greatest common divisor. FALSE when even the reduced terms do
// not fit (or a term is 0).
bool fit_16bit(guint32 num, guint32 den, Ratio *out);

}  // namespace aspect
