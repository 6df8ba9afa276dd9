// h264processor: readies parsed H.264 (AVC, one access unit per buffer) for a muxer.
//
// Marks key units (IDR slice, SPS or recovery point SEI) and delta units, drops delta units
// that lead the stream (up to 2 s after the segment start) and announces a stream that starts
// without an IDR picture with a "weak-keyframe" event, prepends the codec data's SPS and PPS
// to the first buffer when the stream does not carry them in band, strips trailing zero bytes
// from NAL units, clears the DTS, joins the two fields of a PAFF picture into one buffer (tag
// "H264PAFF") and can hold output back until a second IDR picture ("H264IDRFramePresent").
//
//   gst-launch-1.0 filesrc location=in.mp4 ! qtdemux ! h264parse ! h264processor ! mp4mux !
//       filesink location=out.mp4
//
// Limits: output lags input by one buffer (a field may be followed by its partner). Field
// pairs are recognised from the slice headers of two neighbouring buffers only.
#include "transcoding-plugins/base-plugins/h264-processor.h"

#include <gst/base/gstbitreader.h>
#include <gst/base/gstbitwriter.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <utility>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/gst-ref.h"
#include "transcoding-plugins/common/nal-units.h"

GST_DEBUG_CATEGORY_STATIC(h264_processor_debug);
#define GST_CAT_DEFAULT h264_processor_debug

namespace {

constexpr gboolean kDefaultSilent = FALSE;
constexpr gint kDefaultMaxQueuedFrames = 0;
// Once a first IDR picture is seen, the search for the second may hold this many buffers.
constexpr gint kIdrSearchQueueFrames = 1000;
// Leading delta units are dropped while they lie this close to the segment start.
constexpr GstClockTime kLeadingDeltaWindow = 2 * GST_SECOND;

constexpr const char *kTagIdrPresent = "H264IDRFramePresent";
constexpr const char *kTagPaff = "H264PAFF";
constexpr const char *kWeakKeyframeEvent = "weak-keyframe";

enum {
  PROP_0,
  PROP_SILENT = 1,
  PROP_MAX_QUEUED_FRAMES = 2,
};

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-h264,stream-format=(string)avc,alignment=(string)au,parsed=true,"
                    "width=(int)[0, max],height=(int)[0, max];"));
GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-h264,stream-format=(string)avc,alignment=(string)au,parsed=true;"));

struct Settings {
  gboolean silent = kDefaultSilent;
  gint max_queued_frames = kDefaultMaxQueuedFrames;
};

}  // namespace

struct H264ProcessorState {
  // Guarded by the object lock: set by the application, max_queued_frames also by streaming.
  Settings settings;

  // Per stream: cleared by reset().
  bool codec_data_handled = false;
  guint nal_length_size = 0;  // 0 while unknown
  bool first_buffer_handled = false;
  bool paff_tag_sent = false;
  gint idr_count = 0;
  gstref::Ref<GstBuffer> pending;
  // Field mode of the pending buffer, kept from when it was the newer buffer of a pair.
  std::optional<h264_processor::FieldMode> pending_mode;
  GstH264NalParser *parser = nullptr;

  // Cleared separately: a flush drops them but keeps the IDR count.
  std::deque<gstref::Ref<GstBuffer>> queue;

  ~H264ProcessorState() { reset(); }

  void reset() {
    codec_data_handled = false;
    nal_length_size = 0;
    idr_count = 0;
    first_buffer_handled = false;
    paff_tag_sent = false;
    pending.reset();
    pending_mode.reset();
    if (parser) gst_h264_nal_parser_free(parser);
    parser = nullptr;
  }
};

struct _H264Processor {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  H264ProcessorState *state;
};

G_DEFINE_TYPE(H264Processor, h264_processor, GST_TYPE_ELEMENT)

gboolean
h264_processor_register(GstPlugin *plugin)
{
  return element_register(plugin, "h264processor", GST_RANK_NONE, H264_TYPE_PROCESSOR,
                          &h264_processor_debug, "H264Processor", "H264Processor");
}

static void h264_processor_finalize(GObject *object);
static void h264_processor_set_property(GObject *object, guint prop_id, const GValue *value,
                                        GParamSpec *pspec);
static void h264_processor_get_property(GObject *object, guint prop_id, GValue *value,
                                        GParamSpec *pspec);
static GstStateChangeReturn h264_processor_change_state(GstElement *element,
                                                        GstStateChange transition);
static gboolean h264_processor_sink_event(GstPad *pad, GstObject *parent, GstEvent *event);
static gboolean h264_processor_src_query(GstPad *pad, GstObject *parent, GstQuery *query);
static GstFlowReturn h264_processor_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer);

static void
h264_processor_class_init(H264ProcessorClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = h264_processor_finalize;
  gobject_class->set_property = h264_processor_set_property;
  gobject_class->get_property = h264_processor_get_property;

  g_object_class_install_property(
      gobject_class, PROP_SILENT,
      g_param_spec_boolean("silent", "Silent", "Whether the element shouldn't log anything",
                           kDefaultSilent, kElementPropertyFlags));
  g_object_class_install_property(
      gobject_class, PROP_MAX_QUEUED_FRAMES,
      g_param_spec_int("max-queued-frames", "Max Queued Frames",
                       "Maximum amount of frames to queue when searching for IDR", 0, G_MAXINT,
                       kDefaultMaxQueuedFrames, kElementPropertyFlags));

  gst_tag_register_static(kTagIdrPresent, GST_TAG_FLAG_META, G_TYPE_BOOLEAN,
                          "H264 IDR Frame Present",
                          "Whether at least one IDR frame is present in H.264 stream", nullptr);
  gst_tag_register_static(kTagPaff, GST_TAG_FLAG_META, G_TYPE_BOOLEAN, "H264 PAFF Stream",
                          "H.264 Stream with PAFF interlacing", nullptr);

  gst_element_class_set_metadata(element_class, "H264Processor", "Codec/Video/Parser",
                                 "Prepends H264 Codec Data to first frame",
                                 "Transcoding team <transcoding@example.com>");
  element_class->change_state = GST_DEBUG_FUNCPTR(h264_processor_change_state);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
h264_processor_init(H264Processor *self)
{
  self->state = new H264ProcessorState();
  const GstPadFlags proxy =
      static_cast<GstPadFlags>(GST_PAD_FLAG_PROXY_CAPS | GST_PAD_FLAG_PROXY_ALLOCATION);
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(h264_processor_chain);
  spec.sink_event = ELEMENT_FUNC(h264_processor_sink_event);
  spec.sink_flags = proxy;
  spec.src_flags = proxy;
  spec.pass_through = true;
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
  gst_pad_set_query_function(self->srcpad, GST_DEBUG_FUNCPTR(h264_processor_src_query));
}

static void
h264_processor_finalize(GObject *object)
{
  H264Processor *self = H264_PROCESSOR(object);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(h264_processor_parent_class)->finalize(object);
}

static void
h264_processor_set_property(GObject *object, guint prop_id, const GValue *value,
                            GParamSpec *pspec)
{
  H264Processor *self = H264_PROCESSOR(object);
  Settings &s = self->state->settings;
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case PROP_SILENT: s.silent = g_value_get_boolean(value); break;
    case PROP_MAX_QUEUED_FRAMES: s.max_queued_frames = g_value_get_int(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void
h264_processor_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  H264Processor *self = H264_PROCESSOR(object);
  const Settings &s = self->state->settings;
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case PROP_SILENT: g_value_set_boolean(value, s.silent); break;
    case PROP_MAX_QUEUED_FRAMES: g_value_set_int(value, s.max_queued_frames); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void
h264_processor_reset(H264Processor *self)
{
  self->state->reset();
}

static GstStateChangeReturn
h264_processor_change_state(GstElement *element, GstStateChange transition)
{
  H264Processor *self = H264_PROCESSOR(element);
  if (transition == GST_STATE_CHANGE_READY_TO_NULL) {
    self->state->queue.clear();
    h264_processor_reset(self);
  }
  GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(h264_processor_parent_class)->change_state(element, transition);
  // A stream restarted from READY must not receive buffers held from the stopped one.
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    self->state->queue.clear();
    h264_processor_reset(self);
  }
  return ret;
}

static void
h264_processor_send_queued_buffers(H264Processor *self)
{
  if (self->state->queue.empty()) return;
  std::deque<gstref::Ref<GstBuffer>> queue;
  queue.swap(self->state->queue);
  for (auto &buffer : queue) gst_pad_push(self->srcpad, buffer.release());
}

static gboolean
h264_processor_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  H264Processor *self = H264_PROCESSOR(parent);
  H264ProcessorState &st = *self->state;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_FLUSH_STOP: {
      st.queue.clear();
      // The IDR search spans the whole stream, not one seek: keep its count.
      const gint idr_count = st.idr_count;
      h264_processor_reset(self);
      st.idr_count = idr_count;
      break;
    }
    case GST_EVENT_EOS:
      h264_processor_chain(pad, parent, nullptr);
      h264_processor_send_queued_buffers(self);
      break;
    default: break;
  }
  return gst_pad_event_default(pad, parent, event);
}

// Every buffer waits for the next one (it may be joined with it): one frame of latency.
static gboolean
h264_processor_src_query(GstPad *pad, GstObject *parent, GstQuery *query)
{
  H264Processor *self = H264_PROCESSOR(parent);
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
    return gst_pad_query_default(pad, parent, query);
  if (!gst_pad_peer_query(self->sinkpad, query)) return FALSE;
  gboolean live;
  GstClockTime min, max;
  gst_query_parse_latency(query, &live, &min, &max);
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
  gint num = 0, den = 0;
  if (live && GST_CLOCK_TIME_IS_VALID(min) && caps && gst_caps_get_size(caps.get()) > 0 &&
      gst_structure_get_fraction(gst_caps_get_structure(caps.get(), 0), "framerate", &num,
                                 &den) &&
      num > 0 && den > 0) {
    const GstClockTime frame = gst_util_uint64_scale_int_ceil(GST_SECOND, den, num);
    min += frame;
    if (GST_CLOCK_TIME_IS_VALID(max)) max += frame;
    gst_query_set_latency(query, live, min, max);
  }
  return TRUE;
}

namespace {

using h264_processor::FieldMode;

enum NalType : guint8 {
  kNalSliceNonIdr = 1,
  kNalSliceIdr = 5,
  kNalSei = 6,
  kNalSps = 7,
  kNalPps = 8,
  kNalDelimiter = 9,
};

// SEI payloadType of a recovery point (H.264 D.1.8): a random access point without an IDR.
constexpr gsize kSeiRecoveryPoint = 6;

guint8
nal_type(const guint8 *nal)
{
  return nal[0] & 0x1F;
}

// Offset of the first byte >= 0xFC: 6 reserved one bits and lengthSizeMinusOne (ISO/IEC
// 14496-15 5.3.3.1). Searched rather than taken from offset 4, as records in the wild vary.
std::optional<gsize>
find_length_size_byte(const guint8 *data, gsize size)
{
  const guint8 *p = std::find_if(data, data + size, [](guint8 b) { return b >= 0xFC; });
  if (p == data + size) return std::nullopt;
  return p - data;
}

// Appends `count` parameter sets of the record at *pos; false when one runs past the end.
bool
collect_parameter_sets(const guint8 *data, gsize size, gsize *pos, guint count,
                       guint length_size, std::vector<guint8> *out)
{
  for (guint i = 0; i < count; ++i) {
    if (size - *pos < 2) return false;
    const gsize len = (data[*pos] << 8) | data[*pos + 1];
    if (size - *pos - 2 < len) return false;
    nal::append_length(*out, len, length_size);
    out->insert(out->end(), data + *pos + 2, data + *pos + 2 + len);
    *pos += 2 + len;
  }
  return true;
}

// Where a NAL unit's trailing zeros start, or its size if it has none to cut. Zeros from a
// 00 00 0x (x <= 2) to the end cannot be RBSP data (H.264 7.4.1): they are trailing_zero_8bits
// or the remains of a start code. Only the first such sequence after the header counts.
gsize
trailing_zeros_start(const guint8 *nal, gsize size)
{
  if (size < 4) return size;
  gsize run = size;  // start of the final run of zeros
  while (run > 1 && nal[run - 1] == 0) --run;
  if (size - run < 3) return size;
  // The run qualifies unless an earlier 00 00 0x sequence comes first; conforming units have
  // none (emulation prevention), so this scan only confirms.
  for (gsize i = 1; i + 2 < run; ++i)
    if (nal[i] == 0 && nal[i + 1] == 0 && nal[i + 2] <= 2) return size;
  return run;
}

// Skips `n` bits when that many remain.
void
skip_if_available(GstBitReader *reader, guint n)
{
  if (gst_bit_reader_get_remaining(reader) >= n) gst_bit_reader_skip_unchecked(reader, n);
}

// Field mode of one slice from the start of its header (H.264 7.3.3).
FieldMode
slice_field_mode(const GstH264NalParser *parser, const guint8 *nal, gsize size)
{
  // The fields up to bottom_field_flag take a few dozen bits: unescape only those.
  guint8 header[32];
  const gsize n = nal::remove_emulation_prevention(nal, size, header, sizeof header);
  GstBitReader reader;
  gst_bit_reader_init(&reader, header, static_cast<guint>(n));
  guint32 first_mb, slice_type, pps_id;
  if (!gst_bit_reader_skip(&reader, 8) || !bit_reader_get_ue(&reader, &first_mb) ||
      !bit_reader_get_ue(&reader, &slice_type) || !bit_reader_get_ue(&reader, &pps_id))
    return FieldMode::kFrame;
  if (pps_id >= GST_H264_MAX_PPS_COUNT || !parser->pps[pps_id].valid) return FieldMode::kFrame;
  const GstH264SPS *sps = parser->pps[pps_id].sequence;
  if (!sps) return FieldMode::kFrame;
  if (sps->separate_colour_plane_flag) skip_if_available(&reader, 2);  // colour_plane_id
  skip_if_available(&reader, sps->log2_max_frame_num_minus4 + 4);      // frame_num
  if (sps->frame_mbs_only_flag) return FieldMode::kFrame;
  guint8 field_pic = 0, bottom = 0;
  // A header that ends before field_pic_flag or bottom_field_flag counts as a bottom field.
  if (!gst_bit_reader_get_bits_uint8(&reader, &field_pic, 1)) return FieldMode::kBottom;
  if (!field_pic) return FieldMode::kFrame;
  if (!gst_bit_reader_get_bits_uint8(&reader, &bottom, 1)) return FieldMode::kBottom;
  return bottom ? FieldMode::kBottom : FieldMode::kTop;
}

}  // namespace

namespace h264_processor {

guint
nal_length_size_from_codec_data(const guint8 *data, gsize size, guint *issues)
{
  if (size < 8) {
    *issues |= kCodecDataTooSmall;
    return 0;
  }
  const std::optional<gsize> at = find_length_size_byte(data, size);
  if (!at) {
    *issues |= kLengthSizeNotFound;
    return 0;
  }
  return (data[*at] & 3) + 1;
}

std::vector<guint8>
codec_data_parameter_sets(const guint8 *data, gsize size, guint length_size, guint *issues)
{
  std::vector<guint8> out;
  if (size < 8) {
    *issues |= kCodecDataTooSmall;
    return out;
  }
  const std::optional<gsize> at = find_length_size_byte(data, size);
  if (!at) {
    *issues |= kLengthSizeNotFound;
    return out;
  }
  gsize pos = *at + 1;
  if (pos >= size) {
    *issues |= kSpsCountNotFound;
    return out;
  }
  const guint sps_count = data[pos++] & 0x1F;
  if (sps_count == 0) *issues |= kNoSps;
  if (!collect_parameter_sets(data, size, &pos, sps_count, length_size, &out)) {
    *issues |= kSpsMissing;
    return out;
  }
  // A record that ends right after its last SPS has no PPS.
  const guint pps_count = pos < size ? data[pos++] : 0;
  if (pps_count == 0) *issues |= kNoPps;
  if (!collect_parameter_sets(data, size, &pos, pps_count, length_size, &out))
    *issues |= kPpsMissing;
  return out;
}

Classification
classify(const guint8 *data, gsize size, guint length_size)
{
  Classification c;
  nal::LengthPrefixedWalker walker(data, size, length_size, nal::Overrun::kClamp, 2);
  for (nal::Unit u; walker.next(&u);) {
    // An empty unit has no header byte of its own.
    if (u.size == 0) continue;
    const guint8 type = nal_type(data + u.offset);
    c.has_idr |= type == kNalSliceIdr;
    c.has_sps |= type == kNalSps;
    if (type == kNalSei && !c.has_recovery_point)
      c.has_recovery_point = sei_has_recovery_point(data + u.offset, u.size);
  }
  return c;
}

bool
sei_has_recovery_point(const guint8 *nal, gsize size)
{
  if (size < 2) return false;
  // Payload sizes count RBSP bytes.
  const std::vector<guint8> rbsp = nal::remove_emulation_prevention(nal + 1, size - 1);
  gsize pos = 0;
  // H.264 7.3.2.3.1: payloadType and payloadSize are runs of 0xFF bytes plus a last byte.
  auto read_value = [&](gsize *value) {
    for (*value = 0; pos < rbsp.size();) {
      const guint8 b = rbsp[pos++];
      *value += b;
      if (b != 0xFF) return true;
    }
    return false;
  };
  // more_rbsp_data(): messages follow until only the rbsp_trailing_bits byte is left.
  while (pos < rbsp.size() && !(pos + 1 == rbsp.size() && rbsp[pos] == 0x80)) {
    gsize type, payload;
    if (!read_value(&type) || !read_value(&payload) || payload > rbsp.size() - pos) return false;
    if (type == kSeiRecoveryPoint) return true;
    pos += payload;
  }
  return false;
}

bool
contains_idr(const guint8 *data, gsize size, guint length_size)
{
  nal::LengthPrefixedWalker walker(data, size, length_size, nal::Overrun::kClamp, 1);
  for (nal::Unit u; walker.next(&u);)
    if (u.size > 0 && nal_type(data + u.offset) == kNalSliceIdr) return true;
  return false;
}

bool
starts_with_delimiter(const guint8 *data, gsize size, guint length_size)
{
  nal::LengthPrefixedWalker walker(data, size, length_size, nal::Overrun::kClamp, 1);
  nal::Unit u;
  return walker.next(&u) && u.size > 0 && nal_type(data + u.offset) == kNalDelimiter;
}

bool
strip_trailing_zeros(const guint8 *data, gsize size, guint length_size,
                     std::vector<guint8> *out)
{
  nal::LengthPrefixedWalker walker(data, size, length_size, nal::Overrun::kClamp, 2);
  bool rewriting = false;
  for (nal::Unit u; walker.next(&u);) {
    const gsize keep = trailing_zeros_start(data + u.offset, u.size);
    if (keep != u.size && !rewriting) {
      rewriting = true;
      out->clear();
      out->reserve(size);
      out->insert(out->end(), data, data + u.prefix_offset);
    }
    if (rewriting) {
      nal::append_length(*out, keep, length_size);
      out->insert(out->end(), data + u.offset, data + u.offset + keep);
    }
  }
  // Units too short for the walk still belong to the access unit (an end of sequence NAL
  // unit is one byte long).
  if (rewriting) out->insert(out->end(), data + walker.position(), data + size);
  return rewriting;
}

FieldMode
field_mode(GstH264NalParser *parser, const guint8 *data, gsize size, guint length_size)
{
  std::optional<FieldMode> mode;
  nal::LengthPrefixedWalker walker(data, size, length_size, nal::Overrun::kStop, 1);
  for (nal::Unit u; walker.next(&u);) {
    // The codec parsers read out of bounds on units shorter than 2 bytes.
    if (u.size < 2) continue;
    const guint8 type = nal_type(data + u.offset);
    GstH264NalUnit nalu{};
    nalu.type = type;
    nalu.ref_idc = (data[u.offset] >> 5) & 3;
    nalu.data = const_cast<guint8 *>(data + u.offset);
    nalu.offset = 0;
    nalu.size = static_cast<guint>(u.size);
    nalu.header_bytes = 1;
    nalu.valid = TRUE;
    if (type == kNalSps) {
      GstH264SPS sps;
      if (gst_h264_parser_parse_sps(parser, &nalu, &sps) == GST_H264_PARSER_OK)
        gst_h264_sps_clear(&sps);
    } else if (type == kNalPps) {
      GstH264PPS pps;
      if (gst_h264_parser_parse_pps(parser, &nalu, &pps) == GST_H264_PARSER_OK)
        gst_h264_pps_clear(&pps);
    } else if (type >= kNalSliceNonIdr && type <= kNalSliceIdr) {
      const FieldMode slice = slice_field_mode(parser, data + u.offset, u.size);
      if (!mode) {
        mode = slice;
      } else if (*mode != slice) {
        return FieldMode::kFrame;
      }
    }
  }
  return mode.value_or(FieldMode::kFrame);
}

std::vector<guint8>
access_unit_delimiter(guint length_size)
{
  GstBitWriter writer;
  gst_bit_writer_init(&writer);
  gst_bit_writer_put_bits_uint32(&writer, 2, length_size * 8);
  // forbidden_zero_bit, nal_ref_idc 0, nal_unit_type 9 (H.264 7.3.1).
  gst_bit_writer_put_bits_uint8(&writer, 0, 3);
  gst_bit_writer_put_bits_uint8(&writer, kNalDelimiter, 5);
  // primary_pic_type 7 (any slice type, 7.4.2.4) and rbsp_trailing_bits.
  gst_bit_writer_put_bits_uint8(&writer, 7, 3);
  gst_bit_writer_put_bits_uint8(&writer, 1, 1);
  gst_bit_writer_align_bytes(&writer, 0);
  const guint n = gst_bit_writer_get_size(&writer) / 8;
  guint8 *bytes = gst_bit_writer_reset_and_get_data(&writer);
  std::vector<guint8> out(bytes, bytes + n);
  g_free(bytes);
  return out;
}

}  // namespace h264_processor

namespace {

using namespace h264_processor;

// The "codec_data" buffer of the sink pad's current caps, if any.
gstref::Ref<GstBuffer>
current_codec_data(H264Processor *self)
{
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
  if (!caps || gst_caps_get_size(caps.get()) == 0) return {};
  const GValue *value =
      gst_structure_get_value(gst_caps_get_structure(caps.get(), 0), "codec_data");
  if (!value || !GST_VALUE_HOLDS_BUFFER(value)) return {};
  return gstref::retain(gst_value_get_buffer(value));
}

void
log_codec_data_issues(H264Processor *self, guint issues)
{
  if (issues & kCodecDataTooSmall)
    GST_ERROR_OBJECT(self, "Codec data is too small to contain SPS and PPS!");
  if (issues & kLengthSizeNotFound)
    GST_ERROR_OBJECT(self, "Malformed codec data, nal size length not found!");
  if (issues & kSpsCountNotFound)
    GST_ERROR_OBJECT(self, "Malformed codec data, SPS count not found!");
  if (issues & kNoSps) GST_WARNING_OBJECT(self, "No SPS found. The stream might be malformed.");
  if (issues & kSpsMissing) GST_ERROR_OBJECT(self, "Codec data is too small, SPS missing.");
  if (issues & kNoPps) GST_WARNING_OBJECT(self, "No PPS found. The stream might be malformed.");
  if (issues & kPpsMissing) GST_ERROR_OBJECT(self, "Codec data is too small, PPS missing.");
}

// The NAL length size from the codec data; called while it is unknown.
void
h264_processor_update_nal_length(H264Processor *self)
{
  gstref::Ref<GstBuffer> codec_data = current_codec_data(self);
  if (!codec_data) {
    GST_ERROR_OBJECT(self, "Codec data is missing from upstream!");
    return;
  }
  gstref::BufferMap map(codec_data.get(), GST_MAP_READ);
  guint issues = 0;
  self->state->nal_length_size =
      nal_length_size_from_codec_data(map.data(), map.size(), &issues);
  log_codec_data_issues(self, issues);
  if (self->state->nal_length_size)
    GST_DEBUG_OBJECT(self, "NAL length size %u", self->state->nal_length_size);
}

void
free_vector(gpointer data)
{
  delete static_cast<std::vector<guint8> *>(data);
}

// A new buffer holding `bytes`, with the flags, timestamps and metadata of `like`.
gstref::Ref<GstBuffer>
buffer_from_bytes(std::vector<guint8> bytes, GstBuffer *like)
{
  GstBuffer *out;
  if (bytes.empty()) {
    // GStreamer cannot wrap zero bytes: the result is a buffer without memory.
    out = gst_buffer_new();
  } else {
    auto *owned = new std::vector<guint8>(std::move(bytes));
    out = gst_buffer_new_wrapped_full(static_cast<GstMemoryFlags>(0), owned->data(),
                                      owned->size(), 0, owned->size(), owned, free_vector);
  }
  gst_buffer_copy_into(out, like,
                       static_cast<GstBufferCopyFlags>(GST_BUFFER_COPY_FLAGS |
                                                       GST_BUFFER_COPY_TIMESTAMPS |
                                                       GST_BUFFER_COPY_META),
                       0, static_cast<gsize>(-1));
  return gstref::adopt(out);
}

void
make_writable(gstref::Ref<GstBuffer> &buffer)
{
  buffer = gstref::adopt(gst_buffer_make_writable(buffer.release()));
}

// Puts the codec data's SPS and PPS in front of a stream that lacks them in band.
void
process_codec_data(H264Processor *self, gstref::Ref<GstBuffer> &buffer)
{
  H264ProcessorState &st = *self->state;
  gstref::Ref<GstBuffer> codec_data = current_codec_data(self);
  if (!codec_data) {
    GST_ERROR_OBJECT(self, "Codec data is missing from upstream!");
    return;
  }
  std::vector<guint8> sets;
  {
    gstref::BufferMap map(codec_data.get(), GST_MAP_READ);
    guint issues = 0;
    sets = codec_data_parameter_sets(map.data(), map.size(), st.nal_length_size, &issues);
    log_codec_data_issues(self, issues);
  }
  st.codec_data_handled = true;
  if (sets.empty()) return;
  {
    gstref::BufferMap map(buffer.get(), GST_MAP_READ);
    if (!map.ok()) return;
    if (map.size() >= sets.size() && std::memcmp(map.data(), sets.data(), sets.size()) == 0)
      return;
    GST_DEBUG_OBJECT(self, "prepending %zu bytes of SPS and PPS from the codec data",
                     sets.size());
    sets.insert(sets.end(), map.data(), map.data() + map.size());
  }
  buffer = buffer_from_bytes(std::move(sets), buffer.get());
}

GstClockTime
segment_start(H264Processor *self)
{
  gstref::Ref<GstEvent> event =
      gstref::adopt(gst_pad_get_sticky_event(self->sinkpad, GST_EVENT_SEGMENT, 0));
  // Without a time segment the stream is taken to start at 0.
  if (!event) return 0;
  const GstSegment *segment = nullptr;
  gst_event_parse_segment(event.get(), &segment);
  return segment->format == GST_FORMAT_TIME ? segment->start : 0;
}

void
push_boolean_tag(H264Processor *self, const char *tag)
{
  GstTagList *tags = gst_tag_list_new_empty();
  gst_tag_list_set_scope(tags, GST_TAG_SCOPE_STREAM);
  gst_tag_list_add(tags, GST_TAG_MERGE_REPLACE, tag, TRUE, nullptr);
  GST_INFO_OBJECT(self, "pushing tag %s", tag);
  gst_pad_push_event(self->srcpad, gst_event_new_tag(tags));
}

// Classifies, filters and repairs an input buffer. Returns false when it was dropped.
bool
process_input(H264Processor *self, gstref::Ref<GstBuffer> &buffer)
{
  H264ProcessorState &st = *self->state;
  if (!st.nal_length_size) h264_processor_update_nal_length(self);
  const guint length_size = st.nal_length_size;

  Classification c;
  if (length_size && gst_buffer_get_size(buffer.get()) > length_size) {
    {
      gstref::BufferMap map(buffer.get(), GST_MAP_READ);
      c = classify(map.data(), map.size(), length_size);
    }
    const bool key = c.has_idr || c.has_sps || c.has_recovery_point;
    if (key == GST_BUFFER_FLAG_IS_SET(buffer.get(), GST_BUFFER_FLAG_DELTA_UNIT)) {
      make_writable(buffer);
      if (key) {
        GST_BUFFER_FLAG_UNSET(buffer.get(), GST_BUFFER_FLAG_DELTA_UNIT);
      } else {
        GST_BUFFER_FLAG_SET(buffer.get(), GST_BUFFER_FLAG_DELTA_UNIT);
      }
    }
    if (c.has_sps) st.codec_data_handled = true;
  }

  if (!st.first_buffer_handled) {
    const GstClockTime pts = GST_BUFFER_PTS(buffer.get());
    const GstClockTime start = segment_start(self);
    const GstClockTime limit = start > GST_CLOCK_TIME_NONE - 1 - kLeadingDeltaWindow
                                   ? GST_CLOCK_TIME_NONE - 1
                                   : start + kLeadingDeltaWindow;
    if (GST_BUFFER_FLAG_IS_SET(buffer.get(), GST_BUFFER_FLAG_DELTA_UNIT) &&
        (!GST_CLOCK_TIME_IS_VALID(pts) || pts < limit)) {
      GST_LOG_OBJECT(self, "dropping leading delta unit at %" GST_TIME_FORMAT,
                     GST_TIME_ARGS(pts));
      return false;
    }
    if (!c.has_idr) {
      GST_INFO_OBJECT(self, "stream starts without an IDR picture");
      gst_pad_push_event(self->srcpad,
                         gst_event_new_custom(GST_EVENT_CUSTOM_DOWNSTREAM,
                                              gst_structure_new_empty(kWeakKeyframeEvent)));
    }
    st.first_buffer_handled = true;
  }

  if (!st.codec_data_handled) process_codec_data(self, buffer);

  if (length_size && gst_buffer_get_size(buffer.get()) > length_size) {
    std::vector<guint8> stripped;
    bool cut;
    {
      gstref::BufferMap map(buffer.get(), GST_MAP_READ);
      cut = strip_trailing_zeros(map.data(), map.size(), length_size, &stripped);
    }
    if (cut) {
      GST_LOG_OBJECT(self, "stripped trailing zeros, %zu bytes left", stripped.size());
      buffer = buffer_from_bytes(std::move(stripped), buffer.get());
    }
  }

  if (GST_BUFFER_DTS_IS_VALID(buffer.get())) {
    make_writable(buffer);
    GST_BUFFER_DTS(buffer.get()) = GST_CLOCK_TIME_NONE;
  }
  return true;
}

FieldMode
buffer_field_mode(H264Processor *self, GstBuffer *buffer)
{
  H264ProcessorState &st = *self->state;
  if (!st.nal_length_size || gst_buffer_get_size(buffer) <= st.nal_length_size)
    return FieldMode::kFrame;
  if (!st.parser) st.parser = gst_h264_nal_parser_new();
  gstref::BufferMap map(buffer, GST_MAP_READ);
  return field_mode(st.parser, map.data(), map.size(), st.nal_length_size);
}

// The second field appended to the first, with a delimiter between them unless it
// brings its own. Without a known NAL length size there is no delimiter to write.
gstref::Ref<GstBuffer>
join_fields(H264Processor *self, GstBuffer *first, GstBuffer *second)
{
  const guint length_size = self->state->nal_length_size;
  gstref::BufferMap a(first, GST_MAP_READ), b(second, GST_MAP_READ);
  std::vector<guint8> bytes;
  bytes.reserve(a.size() + b.size() + length_size + 2);
  bytes.insert(bytes.end(), a.data(), a.data() + a.size());
  if (length_size && !starts_with_delimiter(b.data(), b.size(), length_size)) {
    const std::vector<guint8> aud = access_unit_delimiter(length_size);
    bytes.insert(bytes.end(), aud.begin(), aud.end());
  }
  bytes.insert(bytes.end(), b.data(), b.data() + b.size());
  return buffer_from_bytes(std::move(bytes), first);
}

GstFlowReturn
push_buffer(H264Processor *self, gstref::Ref<GstBuffer> buffer)
{
  return gst_pad_push(self->srcpad, buffer.release());
}

// Counts IDR pictures and holds buffers back while the search for them asks it.
GstFlowReturn
output_buffer(H264Processor *self, gstref::Ref<GstBuffer> buffer)
{
  H264ProcessorState &st = *self->state;
  const guint length_size = st.nal_length_size;
  if (st.idr_count < 2 && length_size && gst_buffer_get_size(buffer.get()) > length_size) {
    bool idr;
    {
      gstref::BufferMap map(buffer.get(), GST_MAP_READ);
      idr = contains_idr(map.data(), map.size(), length_size);
    }
    if (idr) {
      const gint before = st.idr_count++;
      if (before == 0) {
        GST_OBJECT_LOCK(self);
        if (st.settings.max_queued_frames > 0)
          st.settings.max_queued_frames = kIdrSearchQueueFrames;
        GST_OBJECT_UNLOCK(self);
      } else {
        push_boolean_tag(self, kTagIdrPresent);
      }
    }
  }

  if (st.idr_count >= 2) {
    h264_processor_send_queued_buffers(self);
    return push_buffer(self, std::move(buffer));
  }
  GST_OBJECT_LOCK(self);
  const gsize max_queued = static_cast<gsize>(st.settings.max_queued_frames);
  GST_OBJECT_UNLOCK(self);
  if (st.queue.empty() && max_queued == 0) return push_buffer(self, std::move(buffer));
  GstFlowReturn ret = GST_FLOW_OK;
  st.queue.push_back(std::move(buffer));
  while (st.queue.size() > max_queued) {
    gstref::Ref<GstBuffer> oldest = std::move(st.queue.front());
    st.queue.pop_front();
    ret = push_buffer(self, std::move(oldest));
  }
  return ret;
}

// Holds each buffer back by one so that a second field can join it.
GstFlowReturn
pair_with_pending(H264Processor *self, gstref::Ref<GstBuffer> buffer)
{
  H264ProcessorState &st = *self->state;
  if (!st.pending) {
    st.pending = std::move(buffer);
    st.pending_mode.reset();
    return GST_FLOW_OK;
  }
  if (!buffer) {
    st.pending_mode.reset();
    return output_buffer(self, std::move(st.pending));
  }
  std::optional<FieldMode> mode;
  bool second_field = GST_BUFFER_PTS_IS_VALID(st.pending.get()) &&
                      !GST_BUFFER_PTS_IS_VALID(buffer.get());
  if (!second_field) {
    const FieldMode pending_mode =
        st.pending_mode ? *st.pending_mode : buffer_field_mode(self, st.pending.get());
    mode = buffer_field_mode(self, buffer.get());
    second_field = pending_mode != FieldMode::kFrame && *mode != FieldMode::kFrame &&
                   pending_mode != *mode;
  }
  if (!second_field) {
    gstref::Ref<GstBuffer> out = std::exchange(st.pending, std::move(buffer));
    st.pending_mode = mode;
    return output_buffer(self, std::move(out));
  }
  if (!st.paff_tag_sent) {
    push_boolean_tag(self, kTagPaff);
    st.paff_tag_sent = true;
  }
  GST_LOG_OBJECT(self, "joining field pair at %" GST_TIME_FORMAT,
                 GST_TIME_ARGS(GST_BUFFER_PTS(st.pending.get())));
  gstref::Ref<GstBuffer> joined = join_fields(self, st.pending.get(), buffer.get());
  st.pending.reset();
  st.pending_mode.reset();
  return output_buffer(self, std::move(joined));
}

}  // namespace

// `in` is none at end of stream, to let the pending buffer out.
static GstFlowReturn
h264_processor_chain(GstPad *, GstObject *parent, GstBuffer *in)
{
  H264Processor *self = H264_PROCESSOR(parent);
  gstref::Ref<GstBuffer> buffer = gstref::adopt(in);
  if (buffer && !process_input(self, buffer)) return GST_FLOW_OK;
  return pair_with_pending(self, std::move(buffer));
}
