// Rewrites arbitrary bytes that parse as an H.265 SPS for an arbitrary pixel aspect ratio:
// whatever comes out must parse again, carry the ratio asked for, keep every other field,
// be free of start-code emulation and need no second rewrite.
#include <gst/codecparsers/gsth265parser.h>

#include "fuzz/fuzz-input.h"
#include "transcoding-plugins/base-plugins/h265-sps-rewrite.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  fuzzinput::Input in{data, size};
  gint32 par_n, par_d;
  fuzzinput::ratio(in, &par_n, &par_d);
  GstH265SPS original;
  if (!h265::parse_sps(in.data, in.size, &original)) return 0;
  h265::SpsRewriteResult r =
      h265::rewrite_sps_aspect_ratio(in.data, in.size, original, par_n, par_d);
  if (r.status != h265::SpsRewrite::kRewritten) return 0;

  const std::vector<guint8> &out = r.bytes;
  if (out.size() < 3 || out[0] != in.data[0] || out[1] != in.data[1]) abort();
  for (size_t i = 2; i < out.size(); ++i)  // no start-code emulation
    fuzzinput::check(out[i - 2] || out[i - 1] || out[i] > 2);
  GstH265SPS sps;
  if (!h265::parse_sps(out.data(), out.size(), &sps)) abort();
  const guint n = sps.vui_params.par_n, d = sps.vui_params.par_d;
  if (guint64(n) * guint64(par_d) != guint64(d) * guint64(par_n)) abort();

  // Everything but the aspect ratio is as before (an absent VUI reads as the parser's
  // defaults, so it is compared only where there was one).
  if (original.vui_parameters_present_flag) {
    GstH265VUIParams &vui = original.vui_params;
    vui.aspect_ratio_info_present_flag = 1;
    vui.aspect_ratio_idc = sps.vui_params.aspect_ratio_idc;
    vui.sar_width = sps.vui_params.sar_width;
    vui.sar_height = sps.vui_params.sar_height;
    vui.par_n = n;
    vui.par_d = d;
    if (memcmp(&original, &sps, sizeof(sps)) != 0) abort();
  } else if (original.width != sps.width || original.height != sps.height ||
             original.num_short_term_ref_pic_sets != sps.num_short_term_ref_pic_sets ||
             original.num_long_term_ref_pics_sps != sps.num_long_term_ref_pics_sps) {
    abort();
  }
  const auto again = h265::rewrite_sps_aspect_ratio(out.data(), out.size(), sps, par_n, par_d);
  fuzzinput::check(again.status != h265::SpsRewrite::kRewritten);
  return 0;
}
