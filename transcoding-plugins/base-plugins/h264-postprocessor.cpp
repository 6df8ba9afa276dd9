// h264postprocessor: prepares H.264 in AVC framing for muxing.
//
// Chooses byte-stream or AVC output from what downstream accepts. In byte-stream (or with
// `force`) every access unit is rewritten: an access unit delimiter first, SPS re-encoded so
// that their aspect ratio matches the caps, SPS and PPS inserted before IDR pictures and at
// least every 30 s, SEI dropped once one fails to parse. AVC output without `force` only
// corrects DELTA_UNIT. Decoding timestamps are generated through a small reordering queue.
//
//   gst-launch-1.0 filesrc location=in.mp4 ! qtdemux ! h264parse ! h264postprocessor !
//       mpegtsmux ! filesink location=out.ts
//
// Limits: a caps change after the output caps were sent is ignored; serialized events other
// than SEGMENT and EOS overtake the queued access units.
#include "transcoding-plugins/base-plugins/h264-postprocessor.h"

#include <gst/base/gstbitreader.h>
#include <gst/codecparsers/gsth264parser.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "transcoding-plugins/base-plugins/h264-sps-rewrite.h"
#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/gst-ref.h"
#include "transcoding-plugins/common/nal-units.h"
#include "transcoding-plugins/common/output-queue.h"

GST_DEBUG_CATEGORY_STATIC(h264_postprocessor_debug);
#define GST_CAT_DEFAULT h264_postprocessor_debug

namespace {

constexpr gboolean kDefaultNoQueue = FALSE;
constexpr gboolean kDefaultForce = FALSE;
// Parameter sets are repeated at least this often in byte-stream output.
constexpr GstClockTime kParameterSetInterval = 30 * GST_SECOND;
// Queue limit while no SPS has told the number of reference frames.
constexpr guint kDefaultQueueLimit = 10;
constexpr guint8 kAccessUnitDelimiter[] = {0x09, 0xF0};

enum {
  PROP_0,
  PROP_NO_QUEUE = 1,
  PROP_FORCE = 2,
};

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-h264,stream-format=(string)byte-stream;"
                    "video/x-h264,stream-format=(string)avc,alignment=(string)au"));
GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("video/x-h264,stream-format=(string)avc,"
                                            "alignment=(string)au;"));

using ByteArray = gstref::Ref<GByteArray>;
using Bytes = std::vector<guint8>;

struct SpsEntry {
  ByteArray received;
  ByteArray processed;
};

}  // namespace

struct H264PostprocessorState {
  explicit H264PostprocessorState(GstElement *element, GstPad *sinkpad, GstPad *srcpad)
      : queue(element, sinkpad, srcpad, h264_postprocessor_debug) {}

  // Properties, under the object lock.
  gboolean no_queue = kDefaultNoQueue;
  gboolean force = kDefaultForce;

  // Set from downstream threads by RECONFIGURE.
  std::atomic<bool> reconfigure_needed{false};
  // Per negotiation.
  bool byte_stream = false;
  // From the caps: bytes per NAL length prefix; 0 until known.
  gint nal_length_size = 0;
  // Not cleared by reset: it sizes the queue for the rest of the stream. Atomic because the
  // LATENCY query reads it from other threads.
  std::atomic<guint32> ref_frames{0};
  OutputQueue queue;

  // Per stream: cleared by reset.
  bool parameter_sets_due = false;
  GstClockTime last_parameter_set_time = GST_CLOCK_TIME_NONE;
  std::vector<SpsEntry> sps_store;
  std::vector<ByteArray> pps_store;
  bool sei_failed = false;
};

struct _GstH264Postprocessor {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  H264PostprocessorState *state;
};

G_DEFINE_TYPE(GstH264Postprocessor, gst_h264_postprocessor, GST_TYPE_ELEMENT)

gboolean
h264_postprocessor_register(GstPlugin *plugin)
{
  return element_register(plugin, "h264postprocessor", GST_RANK_NONE,
                          GST_TYPE_H264_POSTPROCESSOR, &h264_postprocessor_debug,
                          "h264postprocessor", "H264 postprocessor");
}

static void gst_h264_postprocessor_finalize(GObject *object);
static void gst_h264_postprocessor_set_property(GObject *object, guint prop_id,
                                                const GValue *value, GParamSpec *pspec);
static void gst_h264_postprocessor_get_property(GObject *object, guint prop_id, GValue *value,
                                                GParamSpec *pspec);
static GstStateChangeReturn gst_h264_postprocessor_change_state(GstElement *element,
                                                                GstStateChange transition);
static gboolean gst_h264_postprocessor_sink_event(GstPad *pad, GstObject *parent,
                                                  GstEvent *event);
static gboolean gst_h264_postprocessor_src_query(GstPad *pad, GstObject *parent,
                                                 GstQuery *query);
static gboolean gst_h264_postprocessor_src_event(GstPad *pad, GstObject *parent,
                                                 GstEvent *event);
static GstFlowReturn gst_h264_postprocessor_chain(GstPad *pad, GstObject *parent,
                                                  GstBuffer *buffer);
static void gst_h264_postprocessor_reset(GstH264Postprocessor *self);

static void
gst_h264_postprocessor_class_init(GstH264PostprocessorClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = gst_h264_postprocessor_finalize;
  gobject_class->set_property = gst_h264_postprocessor_set_property;
  gobject_class->get_property = gst_h264_postprocessor_get_property;

  g_object_class_install_property(
      gobject_class, PROP_NO_QUEUE,
      g_param_spec_boolean("no-queue", "Do not queue input buffers", nullptr, kDefaultNoQueue,
                           kElementPropertyFlags));
  g_object_class_install_property(
      gobject_class, PROP_FORCE,
      g_param_spec_boolean("force", "Process data even when outputting AVC", nullptr,
                           kDefaultForce, kElementPropertyFlags));

  gst_element_class_set_metadata(element_class, "H264postprocessor", "Parser",
                                 "Processes H264 stream in passhtrough mode",
                                 "Transcoding team <transcoding@example.com>");
  element_class->change_state = GST_DEBUG_FUNCPTR(gst_h264_postprocessor_change_state);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
gst_h264_postprocessor_init(GstH264Postprocessor *self)
{
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(gst_h264_postprocessor_chain);
  spec.sink_event = ELEMENT_FUNC(gst_h264_postprocessor_sink_event);
  spec.sink_flags = GST_PAD_FLAG_PROXY_ALLOCATION;
  spec.src_flags = GST_PAD_FLAG_PROXY_ALLOCATION;
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
  gst_pad_set_event_function(self->srcpad,
                             GST_DEBUG_FUNCPTR(gst_h264_postprocessor_src_event));
  gst_pad_set_query_function(self->srcpad,
                             GST_DEBUG_FUNCPTR(gst_h264_postprocessor_src_query));
  self->state = new H264PostprocessorState(GST_ELEMENT(self), self->sinkpad, self->srcpad);
}

static void
gst_h264_postprocessor_finalize(GObject *object)
{
  GstH264Postprocessor *self = GST_H264_POSTPROCESSOR(object);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(gst_h264_postprocessor_parent_class)->finalize(object);
}

static void
gst_h264_postprocessor_set_property(GObject *object, guint prop_id, const GValue *value,
                                    GParamSpec *pspec)
{
  GstH264Postprocessor *self = GST_H264_POSTPROCESSOR(object);
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case PROP_NO_QUEUE: self->state->no_queue = g_value_get_boolean(value); break;
    case PROP_FORCE: self->state->force = g_value_get_boolean(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void
gst_h264_postprocessor_get_property(GObject *object, guint prop_id, GValue *value,
                                    GParamSpec *pspec)
{
  GstH264Postprocessor *self = GST_H264_POSTPROCESSOR(object);
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case PROP_NO_QUEUE: g_value_set_boolean(value, self->state->no_queue); break;
    case PROP_FORCE: g_value_set_boolean(value, self->state->force); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static GstStateChangeReturn
gst_h264_postprocessor_change_state(GstElement *element, GstStateChange transition)
{
  GstH264Postprocessor *self = GST_H264_POSTPROCESSOR(element);
  if (transition == GST_STATE_CHANGE_READY_TO_NULL) {
    self->state->queue.flush();
    gst_h264_postprocessor_reset(self);
  }
  return GST_ELEMENT_CLASS(gst_h264_postprocessor_parent_class)
      ->change_state(element, transition);
}

// Parameter sets: ids, stores, codec data.

namespace {

// Reads the ue(v) id that follows `skip_bits` fixed bits of a parameter set.
guint8
read_parameter_set_id(const guint8 *data, gsize size, guint skip_bits)
{
  GstBitReader reader;
  gst_bit_reader_init(&reader, data, static_cast<guint>(MIN(size, G_MAXUINT)));
  guint32 id = 0;
  if (!gst_bit_reader_skip(&reader, skip_bits) || !bit_reader_get_ue(&reader, &id)) return 255;
  return static_cast<guint8>(id & 0xFF);
}

bool
same_bytes(GByteArray *array, const guint8 *data, gsize size)
{
  return array->len == size && memcmp(array->data, data, size) == 0;
}

ByteArray
byte_array_from(const guint8 *data, gsize size)
{
  GByteArray *array = g_byte_array_sized_new(static_cast<guint>(size));
  g_byte_array_append(array, data, static_cast<guint>(size));
  return gstref::adopt(array);
}

// A buffer that takes over the bytes of `out` without copying them.
GstBuffer *
buffer_from(Bytes &&out)
{
  auto *bytes = new Bytes(std::move(out));
  if (bytes->empty()) {
    delete bytes;
    return gst_buffer_new();
  }
  return gst_buffer_new_wrapped_full(
      static_cast<GstMemoryFlags>(0), bytes->data(), bytes->size(), 0, bytes->size(), bytes,
      [](gpointer p) { delete static_cast<Bytes *>(p); });
}

}  // namespace

// H.264 7.3.2.1.1: the id follows the header, profile_idc, the constraint flags and
// level_idc. The flags are not checked: constraint_set3..5 are legitimately set.
guint8
get_sps_id(const guint8 *data, gsize size)
{
  return read_parameter_set_id(data, size, 8 + 8 + 8 + 8);
}

guint8
get_pps_id(const guint8 *data, gsize size)
{
  return read_parameter_set_id(data, size, 8);
}

// Makes the SPS signal the caps' pixel aspect ratio; returns it unchanged (one more
// reference) when that is not possible or not needed.
static ByteArray
postprocess_sps(GstH264Postprocessor *self, GByteArray *sps)
{
  gint par_n = 0, par_d = 0;
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
  if (caps && !gst_caps_is_empty(caps.get()) && !gst_caps_is_any(caps.get()))
    gst_structure_get_fraction(gst_caps_get_structure(caps.get(), 0), "pixel-aspect-ratio",
                               &par_n, &par_d);
  h264::SpsRewriteResult result = h264::rewrite_sps_aspect_ratio(sps->data, sps->len, par_n,
                                                                 par_d);
  switch (result.status) {
    case h264::SpsRewrite::kUnparsable:
      GST_DEBUG_OBJECT(self, "SPS of %u bytes does not parse, kept as it is", sps->len);
      return gstref::retain(sps);
    case h264::SpsRewrite::kRatioTooLarge:
      GST_WARNING_OBJECT(self, "pixel-aspect-ratio %d/%d does not fit the SPS, kept as it is",
                         par_n, par_d);
      break;
    case h264::SpsRewrite::kUnchanged: break;
    case h264::SpsRewrite::kRewritten:
      GST_DEBUG_OBJECT(self, "SPS rewritten for pixel-aspect-ratio %d/%d", par_n, par_d);
      break;
  }
  self->state->ref_frames = result.num_ref_frames;
  if (result.status != h264::SpsRewrite::kRewritten) return gstref::retain(sps);
  return byte_array_from(result.bytes.data(), result.bytes.size());
}

static gstref::Ref<GstBuffer>
current_codec_data(GstH264Postprocessor *self)
{
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
  if (!caps || gst_caps_is_empty(caps.get()) || gst_caps_is_any(caps.get())) return {};
  const GValue *value =
      gst_structure_get_value(gst_caps_get_structure(caps.get(), 0), "codec_data");
  if (!value || !GST_VALUE_HOLDS_BUFFER(value)) return {};
  return gstref::retain(gst_value_get_buffer(value));
}

// Fills the SPS and PPS stores from the AVC decoder configuration record (ISO/IEC 14496-15
// 5.3.3.1) of the sink caps.
static void
gst_h264_postprocessor_parse_codec_data(GstH264Postprocessor *self)
{
  H264PostprocessorState *st = self->state;
  gstref::Ref<GstBuffer> codec_data = current_codec_data(self);
  if (!codec_data) {
    GST_ERROR_OBJECT(self, "Codec data is missing from upstream!");
    return;
  }
  st->sps_store.clear();
  st->pps_store.clear();
  gstref::BufferMap map(codec_data.get(), GST_MAP_READ);
  const guint8 *data = map.data();
  const gsize size = map.size();
  if (size < 8) {
    GST_ERROR_OBJECT(self, "Codec data is too small to contain SPS and PPS!");
    return;
  }
  gsize pos = 0;
  while (pos < size && data[pos] < 252) ++pos;
  if (pos == size) {
    GST_ERROR_OBJECT(self, "Malformed codec data, nal size length not found!");
    return;
  }
  if (++pos == size) {
    GST_ERROR_OBJECT(self, "Malformed codec data, SPS count not found!");
    return;
  }
  const guint sps_count = data[pos++] & 0x1F;
  if (sps_count == 0) GST_WARNING_OBJECT(self, "No SPS found. The stream might be malformed.");
  for (guint i = 0; i < sps_count; ++i) {
    if (size - pos < 2 || size - pos - 2 < nal::read_length(data + pos, 2)) {
      GST_ERROR_OBJECT(self, "Codec data is too small, SPS missing.");
      return;
    }
    const gsize len = nal::read_length(data + pos, 2);
    ByteArray received = byte_array_from(data + pos + 2, len);
    ByteArray processed = postprocess_sps(self, received.get());
    st->sps_store.push_back({std::move(received), std::move(processed)});
    pos += 2 + len;
  }
  // A record that ends after its SPS has no PPS.
  const guint pps_count = pos < size ? data[pos++] : 0;
  if (pps_count == 0) {
    GST_WARNING_OBJECT(self, "No PPS found. The stream might be malformed.");
    return;
  }
  for (guint i = 0; i < pps_count; ++i) {
    if (size - pos < 2 || size - pos - 2 < nal::read_length(data + pos, 2)) {
      GST_ERROR_OBJECT(self, "Codec data is too small, PPS missing.");
      return;
    }
    const gsize len = nal::read_length(data + pos, 2);
    st->pps_store.push_back(byte_array_from(data + pos + 2, len));
    pos += 2 + len;
  }
}

// Builds an AVC decoder configuration record from the stores; nullptr when it has no SPS.
static GstBuffer *
gst_h264_postprocessor_create_codec_data(GstH264Postprocessor *self)
{
  H264PostprocessorState *st = self->state;
  if (st->sps_store.empty()) {
    GST_WARNING_OBJECT(self, "No SPS present in codec_data");
    return nullptr;
  }
  // Lengths are 16-bit fields: a larger parameter set cannot be described.
  std::vector<GByteArray *> sps, pps;
  for (const SpsEntry &e : st->sps_store)
    if (e.processed->len <= G_MAXUINT16 && sps.size() < 31) sps.push_back(e.processed.get());
  for (const ByteArray &p : st->pps_store)
    if (p->len <= G_MAXUINT16 && pps.size() < 255) pps.push_back(p.get());
  Bytes out;
  out.push_back(1);
  for (guint i = 1; i <= 3; ++i) out.push_back(sps.front()->len > i ? sps.front()->data[i] : 0);
  out.push_back(0xFC | ((MAX(st->nal_length_size, 1) - 1) & 3));
  out.push_back(0xE0 | static_cast<guint8>(sps.size()));
  for (GByteArray *s : sps) {
    nal::append_length(out, s->len, 2);
    out.insert(out.end(), s->data, s->data + s->len);
  }
  out.push_back(static_cast<guint8>(pps.size()));
  for (GByteArray *p : pps) {
    nal::append_length(out, p->len, 2);
    out.insert(out.end(), p->data, p->data + p->len);
  }
  return buffer_from(std::move(out));
}

// Appends one NAL unit in the output framing.
static void
gst_h264_postprocessor_write_data(GstH264Postprocessor *self, Bytes &out, const guint8 *data,
                                  gsize size, bool long_start)
{
  if (self->state->byte_stream) {
    static constexpr guint8 kStartCode[] = {0, 0, 0, 1};
    out.insert(out.end(), kStartCode + (long_start ? 0 : 1), kStartCode + 4);
  } else {
    nal::append_length(out, static_cast<guint32>(size), self->state->nal_length_size);
  }
  out.insert(out.end(), data, data + size);
}

static void
gst_h264_postprocessor_process_codec_data(GstH264Postprocessor *self, Bytes &out,
                                          bool write_sps, bool write_pps)
{
  H264PostprocessorState *st = self->state;
  if (st->sps_store.empty() || st->pps_store.empty())
    gst_h264_postprocessor_parse_codec_data(self);
  if (write_sps)
    for (const SpsEntry &e : st->sps_store)
      gst_h264_postprocessor_write_data(self, out, e.processed->data, e.processed->len, true);
  if (write_pps)
    for (const ByteArray &p : st->pps_store)
      gst_h264_postprocessor_write_data(self, out, p->data, p->len, true);
}

// Caps and negotiation.

static bool
gst_h264_postprocessor_negotiate(GstH264Postprocessor *self)
{
  H264PostprocessorState *st = self->state;
  gstref::Ref<GstCaps> peer_caps;
  if (gstref::Ref<GstPad> peer = gstref::adopt(gst_pad_get_peer(self->srcpad))) {
    gstref::Ref<GstCaps> filter = gstref::adopt(gst_caps_from_string("video/x-h264"));
    peer_caps = gstref::adopt(gst_pad_query_caps(peer.get(), filter.get()));
  }
  gstref::Ref<GstCaps> sink_caps = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
  if (!sink_caps || gst_caps_is_empty(sink_caps.get()) || gst_caps_is_any(sink_caps.get()))
    return false;
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_caps_copy(sink_caps.get()));
  GstStructure *s = gst_caps_get_structure(caps.get(), 0);
  if (!gst_structure_has_field_typed(s, "framerate", GST_TYPE_FRACTION))
    gst_structure_set(s, "framerate", GST_TYPE_FRACTION, 25, 1, nullptr);

  bool byte_stream = !peer_caps;
  if (peer_caps && !gst_caps_is_empty(peer_caps.get())) {
    const gchar *format =
        gst_structure_get_string(gst_caps_get_structure(peer_caps.get(), 0), "stream-format");
    byte_stream = g_strcmp0(format, "byte-stream") == 0;
  }
  GST_OBJECT_LOCK(self);
  const bool force = st->force;
  GST_OBJECT_UNLOCK(self);
  if (byte_stream) {
    st->byte_stream = true;
    st->parameter_sets_due = true;
    gst_structure_set(s, "stream-format", G_TYPE_STRING, "byte-stream", "alignment",
                      G_TYPE_STRING, "nal", nullptr);
    gst_structure_remove_field(s, "codec_data");
  } else {
    st->byte_stream = false;
    if (force) {
      gst_h264_postprocessor_parse_codec_data(self);
      // Without SPS there is nothing to build a record from: keep the received one.
      if (GstBuffer *codec_data = gst_h264_postprocessor_create_codec_data(self)) {
        gst_structure_set(s, "codec_data", GST_TYPE_BUFFER, codec_data, nullptr);
        gst_buffer_unref(codec_data);
      }
    }
  }
  GST_INFO_OBJECT(self, "output %" GST_PTR_FORMAT, caps.get());
  st->reconfigure_needed = false;
  return gst_pad_push_event(self->srcpad, gst_event_new_caps(caps.get()));
}

// Events.

static void
gst_h264_postprocessor_reset(GstH264Postprocessor *self)
{
  H264PostprocessorState *st = self->state;
  st->parameter_sets_due = true;
  st->last_parameter_set_time = GST_CLOCK_TIME_NONE;
  st->reconfigure_needed = false;
  st->sei_failed = false;
  st->sps_store.clear();
  st->pps_store.clear();
  st->queue.reset();
}

static void
gst_h264_postprocessor_handle_caps(GstH264Postprocessor *self, GstCaps *caps)
{
  H264PostprocessorState *st = self->state;
  st->reconfigure_needed = true;
  const GValue *value = nullptr;
  if (!gst_caps_is_empty(caps) && !gst_caps_is_any(caps))
    value = gst_structure_get_value(gst_caps_get_structure(caps, 0), "codec_data");
  if (!value || !GST_VALUE_HOLDS_BUFFER(value)) {
    GST_ERROR_OBJECT(self,
                     "Codec data is missing from upstream! Assuming nal_length == 4, this may "
                     "be wrong!");
    st->nal_length_size = 4;
    return;
  }
  gstref::BufferMap map(gst_value_get_buffer(value), GST_MAP_READ);
  for (gsize i = 0; i < map.size(); ++i) {
    if (map.data()[i] >= 252) {
      st->nal_length_size = (map.data()[i] & 3) + 1;
      return;
    }
  }
  if (st->nal_length_size == 0)
    GST_ERROR_OBJECT(self, "Couldn't get NAL size length from codec data");
}

static gboolean
gst_h264_postprocessor_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  GstH264Postprocessor *self = GST_H264_POSTPROCESSOR(parent);
  H264PostprocessorState *st = self->state;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_FLUSH_STOP:
      st->queue.flush();
      gst_h264_postprocessor_reset(self);
      break;
    case GST_EVENT_CAPS: {
      if (gst_pad_has_current_caps(self->srcpad)) {
        GST_WARNING_OBJECT(self, "Received CAPS event mid-stream, it will be ignored.");
        gst_event_unref(event);
        return TRUE;
      }
      GstCaps *caps = nullptr;
      gst_event_parse_caps(event, &caps);
      gst_h264_postprocessor_handle_caps(self, caps);
      // Not forwarded (no PROXY_CAPS): the output caps go out with the first buffer.
      break;
    }
    case GST_EVENT_SEGMENT: {
      const bool reconfigure = st->reconfigure_needed;
      gst_h264_postprocessor_reset(self);
      st->reconfigure_needed = reconfigure;
      st->queue.on_segment();
      // Stored as the sink pad's sticky event; sent shifted before the next buffer.
      gst_event_unref(event);
      return TRUE;
    }
    case GST_EVENT_EOS:
      st->queue.drain();
      // A stream without buffers still gets its segment before EOS.
      st->queue.send_segment_if_needed();
      break;
    case GST_EVENT_GAP:
      if (st->queue.gap_must_be_dropped()) {
        gst_event_unref(event);
        return TRUE;
      }
      break;
    default: break;
  }
  return gst_pad_event_default(pad, parent, event);
}

static gboolean
gst_h264_postprocessor_src_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  GstH264Postprocessor *self = GST_H264_POSTPROCESSOR(parent);
  if (GST_EVENT_TYPE(event) == GST_EVENT_RECONFIGURE) self->state->reconfigure_needed = true;
  return gst_pad_event_default(pad, parent, event);
}

// H.264 A.3.1: no level allows more than 16 reference frames; two more cover the reordering.
static guint
gst_h264_postprocessor_queue_limit(const H264PostprocessorState *st)
{
  const guint32 ref_frames = st->ref_frames;
  return ref_frames > 0 ? MIN(ref_frames, 16u) + 2 : kDefaultQueueLimit;
}

// The queue holds that many access units back: that many frames of latency.
static gboolean
gst_h264_postprocessor_src_query(GstPad *pad, GstObject *parent, GstQuery *query)
{
  GstH264Postprocessor *self = GST_H264_POSTPROCESSOR(parent);
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
    return gst_pad_query_default(pad, parent, query);
  GST_OBJECT_LOCK(self);
  const bool no_queue = self->state->no_queue;
  GST_OBJECT_UNLOCK(self);
  return self->state->queue.answer_latency(
      query, no_queue ? 0 : gst_h264_postprocessor_queue_limit(self->state));
}

// Data path.

namespace {

bool
is_slice(guint type)
{
  return type >= 1 && type <= 5;
}

}  // namespace

// Keeps an SEI unit only while it parses against the stored SPS: a decoder given SEI that
// contradict the rewritten SPS may reject the stream.
static bool
gst_h264_postprocessor_should_keep_sei(GstH264Postprocessor *self, const guint8 *data,
                                       gsize size)
{
  H264PostprocessorState *st = self->state;
  // Pic timing and buffering period messages need the SPS, which may only be in the caps.
  if (st->sps_store.empty() && current_codec_data(self))
    gst_h264_postprocessor_parse_codec_data(self);
  bool keep = false;
  // The parser reads past the end of units shorter than two bytes.
  if (size >= 2 && size <= G_MAXUINT) {
    GstH264NalParser *parser = gst_h264_nal_parser_new();
    for (const SpsEntry &e : st->sps_store) {
      if (e.processed->len < 2) continue;
      GstH264NalUnit nalu{};
      nalu.type = GST_H264_NAL_SPS;
      nalu.data = e.processed->data;
      nalu.size = e.processed->len;
      nalu.header_bytes = 1;
      nalu.valid = TRUE;
      GstH264SPS sps;
      memset(&sps, 0, sizeof(sps));
      gst_h264_parser_parse_sps(parser, &nalu, &sps);
      gst_h264_sps_clear(&sps);
    }
    GstH264NalUnit nalu{};
    nalu.type = GST_H264_NAL_SEI;
    nalu.data = const_cast<guint8 *>(data);
    nalu.size = static_cast<guint>(size);
    nalu.header_bytes = 1;
    nalu.valid = TRUE;
    GArray *messages = nullptr;
    keep = gst_h264_parser_parse_sei(parser, &nalu, &messages) == GST_H264_PARSER_OK &&
           messages != nullptr;
    if (messages) g_array_free(messages, TRUE);
    gst_h264_nal_parser_free(parser);
  }
  if (!keep) {
    GST_WARNING_OBJECT(self, "Parsing of SEI message failed, ignoring subsequent SEI messages");
    st->sei_failed = true;
  }
  return keep;
}

// Sets DELTA_UNIT unless the access unit holds an IDR slice or an SPS.
static void
gst_h264_postprocessor_set_key_unit_flags(GstH264Postprocessor *self, GstBuffer *buffer)
{
  const guint length_size = self->state->nal_length_size;
  gstref::BufferMap map(buffer, GST_MAP_READ);
  if (!map.ok() || map.size() < length_size) return;
  bool key = false;
  nal::LengthPrefixedWalker walker(map.data(), map.size(), length_size, nal::Overrun::kClamp,
                                   2);
  for (nal::Unit u; !key && walker.next(&u);) {
    const guint type = u.size > 0 ? map.data()[u.offset] & 0x1F : 0;
    key = type == GST_H264_NAL_SLICE_IDR || type == GST_H264_NAL_SPS;
  }
  if (key)
    GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
  else
    GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
}

// Rewrites one AVC access unit in the output framing; an access unit delimiter after slices
// starts a new output buffer.
static OutputQueue::Buffers
gst_h264_postprocessor_convert(GstH264Postprocessor *self, GstBuffer *input)
{
  H264PostprocessorState *st = self->state;
  OutputQueue::Buffers parts;
  gstref::BufferMap map(input, GST_MAP_READ);
  if (!map.ok()) return parts;
  const guint8 *data = map.data();
  const GstClockTime pts = GST_BUFFER_PTS(input);

  Bytes out;
  out.reserve(map.size() + 64);
  gst_h264_postprocessor_write_data(self, out, kAccessUnitDelimiter,
                                    sizeof(kAccessUnitDelimiter), true);
  bool first_unit_pending = true, sps_seen = false, pps_seen = false, slice_written = false;
  bool key_unit = false;
  nal::LengthPrefixedWalker walker(data, map.size(), st->nal_length_size);
  for (nal::Unit u; walker.next(&u);) {
    // An empty unit has no header to tell its type and nothing to carry.
    if (u.size == 0) continue;
    const guint8 *unit = data + u.offset;
    const guint type = unit[0] & 0x1F;
    ByteArray sps_out;
    switch (type) {
      case GST_H264_NAL_SEI:
        if (st->sei_failed || !gst_h264_postprocessor_should_keep_sei(self, unit, u.size))
          continue;
        break;
      case GST_H264_NAL_SPS: {
        const guint8 id = get_sps_id(unit, u.size);
        SpsEntry *entry = nullptr;
        for (SpsEntry &e : st->sps_store) {
          if (get_sps_id(e.received->data, e.received->len) == id) {
            entry = &e;
            break;
          }
        }
        if (entry && !same_bytes(entry->received.get(), unit, u.size)) {
          entry->received = byte_array_from(unit, u.size);
          entry->processed = postprocess_sps(self, entry->received.get());
        }
        sps_seen = true;
        if (entry) {
          sps_out = gstref::retain(entry->processed.get());
        } else {
          ByteArray copy = byte_array_from(unit, u.size);
          sps_out = postprocess_sps(self, copy.get());
        }
        break;
      }
      case GST_H264_NAL_PPS: {
        if (!sps_seen) {
          gst_h264_postprocessor_process_codec_data(self, out, true, false);
          sps_seen = true;
        }
        const guint8 id = get_pps_id(unit, u.size);
        for (ByteArray &p : st->pps_store) {
          if (get_pps_id(p->data, p->len) == id) {
            if (!same_bytes(p.get(), unit, u.size)) p = byte_array_from(unit, u.size);
            break;
          }
        }
        pps_seen = true;
        break;
      }
      case GST_H264_NAL_AU_DELIMITER:
        // The part already opens with a delimiter of its own.
        if (!slice_written) continue;
        parts.push_back(gstref::adopt(buffer_from(std::move(out))));
        out = Bytes();
        out.reserve(map.size() - u.prefix_offset + 64);
        first_unit_pending = true;
        slice_written = false;
        break;
      default: break;
    }

    if (sps_seen && pps_seen) {
      st->parameter_sets_due = false;
      st->last_parameter_set_time = pts;
    }
    if (is_slice(type) && st->byte_stream) {
      if (type == GST_H264_NAL_SLICE_IDR ||
          (GST_CLOCK_TIME_IS_VALID(st->last_parameter_set_time) &&
           GST_CLOCK_TIME_IS_VALID(pts) && pts > st->last_parameter_set_time &&
           pts - st->last_parameter_set_time > kParameterSetInterval))
        st->parameter_sets_due = true;
      if (st->parameter_sets_due) {
        gst_h264_postprocessor_process_codec_data(self, out, !sps_seen, !pps_seen);
        st->last_parameter_set_time = pts;
        st->parameter_sets_due = false;
        sps_seen = pps_seen = true;
      }
    }
    if (is_slice(type)) slice_written = true;
    if (type == GST_H264_NAL_SLICE_IDR || type == GST_H264_NAL_SPS) key_unit = true;

    if (type == GST_H264_NAL_SPS)
      gst_h264_postprocessor_write_data(self, out, sps_out->data, sps_out->len, true);
    else
      gst_h264_postprocessor_write_data(self, out, unit, u.size,
                                        first_unit_pending || type == GST_H264_NAL_PPS);
    first_unit_pending = false;
  }
  parts.push_back(gstref::adopt(buffer_from(std::move(out))));

  // The first part stands for the input; a region of size 0 leaves the duration behind.
  GstBuffer *first = parts.front().get();
  gst_buffer_copy_into(first, input, GST_BUFFER_COPY_METADATA, 0, 0);
  // A whole access unit keeps it: MP4 muxers take the last sample's length from it.
  if (parts.size() == 1) GST_BUFFER_DURATION(first) = GST_BUFFER_DURATION(input);
  if (key_unit)
    GST_BUFFER_FLAG_UNSET(first, GST_BUFFER_FLAG_DELTA_UNIT);
  else
    GST_BUFFER_FLAG_SET(first, GST_BUFFER_FLAG_DELTA_UNIT);
  return parts;
}

static GstFlowReturn
gst_h264_postprocessor_chain(GstPad *, GstObject *parent, GstBuffer *buffer)
{
  GstH264Postprocessor *self = GST_H264_POSTPROCESSOR(parent);
  H264PostprocessorState *st = self->state;
  gstref::Ref<GstBuffer> input = gstref::adopt(gst_buffer_make_writable(buffer));

  if (st->reconfigure_needed && !gst_h264_postprocessor_negotiate(self)) {
    GST_ERROR_OBJECT(self, "Reconfigure failed");
    return GST_FLOW_ERROR;
  }
  GST_OBJECT_LOCK(self);
  const bool no_queue = st->no_queue;
  const bool force = st->force;
  GST_OBJECT_UNLOCK(self);

  if (!no_queue) st->queue.prepare_timestamps(input.get());
  OutputQueue::Buffers out;
  const gsize size = gst_buffer_get_size(input.get());
  if (!st->byte_stream && !force) {
    // Without a known length size the units cannot be found: pass the buffer as it is.
    if (st->nal_length_size > 0) gst_h264_postprocessor_set_key_unit_flags(self, input.get());
    out.push_back(std::move(input));
  } else if (st->nal_length_size == 0 || size < guint(st->nal_length_size)) {
    out.push_back(std::move(input));
  } else {
    out = gst_h264_postprocessor_convert(self, input.get());
    if (out.empty()) {
      GST_WARNING_OBJECT(self, "cannot read buffer, dropped");
      return GST_FLOW_OK;
    }
  }

  if (!no_queue) {
    return st->queue.enqueue(std::move(out), gst_h264_postprocessor_queue_limit(st));
  }
  bool dropped = false;
  GstFlowReturn ret = st->queue.push_direct(std::move(out), &dropped);
  if (dropped) st->parameter_sets_due = true;
  return ret;
}
