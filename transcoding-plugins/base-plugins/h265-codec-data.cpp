#include "transcoding-plugins/base-plugins/h265-codec-data.h"

#include <gst/codecparsers/gsth265parser.h>

#include "transcoding-plugins/common/nal-units.h"

namespace h265 {

bool
identify_nalu_hevc(GstH265Parser *parser, const guint8 *data, gsize offset, gsize size,
                   guint length_size, GstH265NalUnit *nalu)
{
  if (length_size < 1 || length_size > 4 || offset > size || size > G_MAXUINT32 ||
      size - offset < length_size)
    return false;
  const gsize length = nal::read_length(data + offset, length_size);
  if (length < 2 || size - offset - length_size < length) return false;
  return gst_h265_parser_identify_nalu_hevc(parser, data, static_cast<guint>(offset), size,
                                            static_cast<guint8>(length_size),
                                            nalu) == GST_H265_PARSER_OK;
}

Hvcc
parse_hvcc(const guint8 *data, gsize size)
{
  Hvcc hvcc;
  if (!data || size < kHvccHeaderSize) return hvcc;
  if (data[0] >= 2) {
    hvcc.status = HvccStatus::kUnsupportedVersion;
    return hvcc;
  }
  hvcc.nal_length_size = (data[21] & 3) + 1;
  hvcc.status = HvccStatus::kOk;
  const guint arrays = data[22];
  GstH265Parser *parser = gst_h265_parser_new();
  gsize pos = kHvccHeaderSize;
  for (guint a = 0; a < arrays; ++a) {
    // The array header (type byte and unit count) must fit before the end.
    if (size - pos < 3) {
      hvcc.status = HvccStatus::kMalformed;
      break;
    }
    const guint count = nal::read_length(data + pos + 1, 2);
    pos += 3;
    for (guint i = 0; i < count; ++i) {
      GstH265NalUnit nalu{};
      if (!identify_nalu_hevc(parser, data, pos, size, 2, &nalu)) {
        hvcc.status = HvccStatus::kMalformed;
        break;
      }
      hvcc.units.push_back({nalu.offset, nalu.size});
      pos = gsize(nalu.offset) + nalu.size;
    }
    if (hvcc.status != HvccStatus::kOk) break;
  }
  gst_h265_parser_free(parser);
  return hvcc;
}

}  // namespace h265
