// Reading the HEVC decoder configuration record ("codec_data" of hvc1 caps, ISO/IEC 14496-15
// 8.3.3.1). Plain functions over bytes for h265postprocessor.
#pragma once

#include <gst/codecparsers/gsth265parser.h>

#include <vector>

namespace h265 {

// Bytes of the record before its arrays: kept as they are when it is rebuilt.
inline constexpr gsize kHvccHeaderSize = 23;

enum class HvccStatus {
  kOk,
  kTooSmall,            // shorter than the fixed header
  kUnsupportedVersion,  // configurationVersion 2 or more
  kMalformed,           // a unit could not be identified; the units before it are listed
};

struct HvccUnit {
  gsize offset;  // of the NAL header in the record
  gsize size;    // NAL unit size, two-byte header included
};

struct Hvcc {
  HvccStatus status = HvccStatus::kTooSmall;
  guint nal_length_size = 0;  // 1..4 unless kTooSmall or kUnsupportedVersion
  std::vector<HvccUnit> units;
};

// gst_h265_parser_identify_nalu_hevc on a unit at `offset` of `data`, after checking what the
// library does not: that the declared length fits in the data without wrapping and holds the
// two-byte NAL header.
bool identify_nalu_hevc(GstH265Parser *parser, const guint8 *data, gsize offset, gsize size,
                        guint length_size, GstH265NalUnit *nalu);

// Lists the NAL units of the record's arrays; never reads past `size`.
Hvcc parse_hvcc(const guint8 *data, gsize size);

}  // namespace h265
