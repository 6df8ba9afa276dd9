#pragma once

#include <gst/codecparsers/gsth264parser.h>
#include <gst/gst.h>

#include <cstdint>
#include <vector>

G_BEGIN_DECLS

#define H264_TYPE_PROCESSOR (h264_processor_get_type())
G_DECLARE_FINAL_TYPE(H264Processor, h264_processor, H264, PROCESSOR, GstElement)

gboolean h264_processor_register(GstPlugin *plugin);

G_END_DECLS

// The element's bitstream work as plain functions over the bytes of one AVC access unit
// (length-prefixed NAL units), so that they can be tested without a pipeline.
namespace h264_processor {

// Problems found in the AVC decoder configuration record (ISO/IEC 14496-15 5.2.4.1).
enum CodecDataIssue : guint {
  kCodecDataTooSmall = 1 << 0,
  kLengthSizeNotFound = 1 << 1,
  kSpsCountNotFound = 1 << 2,
  kNoSps = 1 << 3,
  kSpsMissing = 1 << 4,
  kNoPps = 1 << 5,
  kPpsMissing = 1 << 6,
};

// The NAL length size (1..4) announced by the codec data, or 0 with the issue in *issues.
guint nal_length_size_from_codec_data(const guint8 *data, gsize size, guint *issues);

// The SPS and PPS of the codec data, each with a length prefix of `length_size` bytes, in the
// order they appear. Collects whatever is readable; *issues tells what was not.
std::vector<guint8> codec_data_parameter_sets(const guint8 *data, gsize size,
                                              guint length_size, guint *issues);

struct Classification {
  bool has_idr = false;
  bool has_sps = false;
  bool has_recovery_point = false;
};
Classification classify(const guint8 *data, gsize size, guint length_size);

// True when an SEI NAL unit (header byte included) carries a recovery point message.
bool sei_has_recovery_point(const guint8 *nal, gsize size);

// True when the walk reaches an IDR slice (NAL type 5).
bool contains_idr(const guint8 *data, gsize size, guint length_size);

// True when the first NAL unit is an access unit delimiter (NAL type 9).
bool starts_with_delimiter(const guint8 *data, gsize size, guint length_size);

// Cuts runs of trailing zero bytes off NAL units. Returns false, leaving `out` untouched, when
// no unit ends in such a run; otherwise `out` holds the whole rewritten access unit.
bool strip_trailing_zeros(const guint8 *data, gsize size, guint length_size,
                          std::vector<guint8> *out);

enum class FieldMode : int { kFrame = 0, kTop = 1, kBottom = 2 };

// Field mode of the access unit from its slice headers (H.264 7.3.3): kFrame for frame
// pictures, unknown or mixed. SPS and PPS met on the way go into `parser`.
FieldMode field_mode(GstH264NalParser *parser, const guint8 *data, gsize size,
                     guint length_size);

// An access unit delimiter NAL unit (primary_pic_type 7) with a length prefix.
std::vector<guint8> access_unit_delimiter(guint length_size);

}  // namespace h264_processor
