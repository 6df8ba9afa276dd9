// Rewrites arbitrary bytes as an SPS for an arbitrary pixel aspect ratio: whatever comes out
// must parse again, carry the ratio asked for, be free of start-code emulation and need no
// second rewrite.
#include <gst/codecparsers/gsth264parser.h>

#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/h264-sps-rewrite.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  gint32 par_n, par_d;
  fuzzinput::ratio(in, &par_n, &par_d);
  h264::SpsRewriteResult r = h264::rewrite_sps_aspect_ratio(in.data, in.size, par_n, par_d);
  if (r.status != h264::SpsRewrite::kRewritten) return 0;

  const std::vector<guint8> &out = r.bytes;
  if (out.size() < 2 || out[0] != 0x67) abort();
  for (size_t i = 2; i < out.size(); ++i)  // no start-code emulation
    fuzzinput::check(out[i - 2] || out[i - 1] || out[i] > 2);
  GstH264NalUnit nalu{};
  nalu.data = const_cast<guint8 *>(out.data());
  nalu.size = out.size();
  nalu.header_bytes = 1;
  GstH264SPS sps;
  memset(&sps, 0, sizeof(sps));
  if (gst_h264_parse_sps(&nalu, &sps) != GST_H264_PARSER_OK) abort();
  if (sps.num_ref_frames != r.num_ref_frames) abort();
  const guint n = sps.vui_parameters.par_n, d = sps.vui_parameters.par_d;
  gst_h264_sps_clear(&sps);
  // The parser reports the ratio reduced only for Extended_SAR; compare as fractions.
  if (guint64(n) * guint64(par_d) != guint64(d) * guint64(par_n)) abort();
  if (h264::rewrite_sps_aspect_ratio(out.data(), out.size(), par_n, par_d).status ==
          h264::SpsRewrite::kRewritten &&
      par_n <= G_MAXUINT16 && par_d <= G_MAXUINT16)
    abort();
  return 0;
}
