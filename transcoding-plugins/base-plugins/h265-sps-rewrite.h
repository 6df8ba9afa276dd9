// Rewriting the sample aspect ratio of an H.265 sequence parameter set (H.265 7.3.2.2, E.2.1).
// The SPS is copied bit for bit up to vui_parameters_present_flag; only the VUI and the end of
// the SPS are written again. Plain functions over bytes; h265postprocessor is the glue.
#pragma once

#include <gst/base/gstbitwriter.h>
#include <gst/codecparsers/gsth265parser.h>

#include <vector>

namespace h265 {

enum class SpsRewrite {
  kUnchanged,      // no usable ratio given, or the SPS already signals it
  kRewritten,      // `bytes` holds the rewritten SPS
  kRatioTooLarge,  // the ratio does not fit sar_width/sar_height even when reduced
  kExtensions,     // sps_extension_present_flag is set: the extensions cannot be rewritten
  kUnsupported,    // the SPS cannot be rewritten without losing data (see the .cpp)
};

struct SpsRewriteResult {
  SpsRewrite status = SpsRewrite::kUnchanged;
  std::vector<guint8> bytes;  // NAL unit with header and emulation prevention (kRewritten)
};

// Makes the SPS NAL unit `data` (two-byte header first, emulation prevention included), which
// parsed into `sps` with VUI parsing on, signal the sample aspect ratio par_n:par_d. A term
// below 1 means no ratio is known.
SpsRewriteResult rewrite_sps_aspect_ratio(const guint8 *data, gsize size, const GstH265SPS &sps,
                                          gint par_n, gint par_d);

// Parses an SPS NAL unit with a parser of its own (VUI on); FALSE when it does not parse.
bool parse_sps(const guint8 *data, gsize size, GstH265SPS *sps);

}  // namespace h265

// sub_layer_hrd_parameters() of H.265 E.2.3.
void write_sub_layer_hrd_parameters(GstBitWriter *writer, const GstH265SubLayerHRDParams *params,
                                    guint8 cpb_cnt_minus1, guint8 sub_pic_hrd_params_present_flag);
