// Rewriting the sample aspect ratio of an H.264 sequence parameter set (H.264 7.3.2.1.1, E.1.1).
// Plain functions over bytes; the h264postprocessor element is the GStreamer glue around them.
#pragma once

#include <gst/base/gstbitwriter.h>
#include <gst/codecparsers/gsth264parser.h>

#include <vector>

namespace h264 {

enum class SpsRewrite {
  kUnparsable,     // the SPS did not parse: returned as it came
  kUnchanged,      // no usable ratio given, or the SPS already signals it
  kRewritten,      // `bytes` holds the re-encoded SPS
  kRatioTooLarge,  // the ratio does not fit sar_width/sar_height even when reduced
};

struct SpsRewriteResult {
  SpsRewrite status = SpsRewrite::kUnparsable;
  guint32 num_ref_frames = 0;  // valid unless kUnparsable
  std::vector<guint8> bytes;   // NAL unit with header and emulation prevention (kRewritten)
};

// Makes the SPS NAL unit `data` (header byte first, emulation prevention included) signal the
// sample aspect ratio par_n:par_d. A term below 1 means no ratio is known.
SpsRewriteResult rewrite_sps_aspect_ratio(const guint8 *data, gsize size, gint par_n,
                                          gint par_d);

}  // namespace h264

// hrd_parameters() of H.264 E.1.2.
void h264_postprocess_write_hdr_parameters(GstBitWriter *writer, const GstH264HRDParams *hrd);
// The scaling lists of seq_scaling_matrix_present_flag (H.264 7.3.2.1.1.1), each list left
// out where it equals its fall-back rule A list.
void h264_postprocess_write_scaling_list(GstBitWriter *writer, const GstH264SPS *sps);
