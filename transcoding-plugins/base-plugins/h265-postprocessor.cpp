// h265postprocessor: prepares H.265 in hvc1 framing for muxing.
//
// Every SPS (in the codec data and in band) is rewritten so that its VUI sample aspect ratio
// matches the caps' pixel-aspect-ratio; the codec data is rebuilt from the VPS, SPS and PPS
// seen, without SEI arrays. All other NAL units pass unchanged, with the input's NAL length
// size. Decoding timestamps are generated through a small reordering queue.
//
//   gst-launch-1.0 filesrc location=in.mp4 ! qtdemux ! h265parse ! h265postprocessor !
//       mp4mux ! filesink location=out.mp4
//
// Limits: a caps change after the output caps were sent is ignored; an SPS with extensions is
// passed unchanged; serialized events other than SEGMENT and EOS overtake queued access units.
#include "transcoding-plugins/base-plugins/h265-postprocessor.h"

#include <gst/base/gstbitreader.h>
#include <gst/codecparsers/gsth265parser.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "transcoding-plugins/base-plugins/h265-codec-data.h"
#include "transcoding-plugins/base-plugins/h265-sps-rewrite.h"
#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/gst-ref.h"
#include "transcoding-plugins/common/nal-units.h"
#include "transcoding-plugins/common/output-queue.h"

GST_DEBUG_CATEGORY_STATIC(h265_postprocessor_debug);
#define GST_CAT_DEFAULT h265_postprocessor_debug

namespace {

constexpr gboolean kDefaultNoQueue = FALSE;
constexpr guint kQueueLimit = 10;
// Highest parameter set ids (H.265 7.4.3.1 to 7.4.3.3): the stores never grow beyond them.
constexpr guint kMaxPpsId = 63;

enum {
  PROP_0,
  PROP_NO_QUEUE = 1,
};

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-h265,stream-format=(string)hvc1,alignment=(string)au;"));
GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-h265,stream-format=(string)hvc1,alignment=(string)au;"));

using ByteArray = gstref::Ref<GByteArray>;
using Bytes = std::vector<guint8>;

struct SpsEntry {
  guint8 id;
  ByteArray received;
  ByteArray processed;
};

// A NAL unit of the access unit being rewritten, and what replaces it (borrowed from the
// SPS store), if anything.
struct UnitPart {
  gsize offset, size;
  GByteArray *replacement;
};

}  // namespace

struct H265PostprocessorState {
  explicit H265PostprocessorState(GstElement *element, GstPad *sinkpad, GstPad *srcpad)
      : queue(element, sinkpad, srcpad, h265_postprocessor_debug) {}
  ~H265PostprocessorState()
  {
    if (parser) gst_h265_parser_free(parser);
  }

  // Property, under the object lock.
  gboolean no_queue = kDefaultNoQueue;

  // Set from downstream threads by RECONFIGURE.
  std::atomic<bool> reconfigure_needed{false};
  OutputQueue queue;

  // Per stream: cleared by reset, refilled from the codec data.
  std::vector<ByteArray> vps_store;
  std::vector<SpsEntry> sps_store;
  std::vector<ByteArray> pps_store;
  guint nal_length_size = 0;
  GstH265Parser *parser = nullptr;

  // Scratch space of the data path, kept to spare an allocation per buffer.
  std::vector<UnitPart> parts;
};

struct _GstH265Postprocessor {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  H265PostprocessorState *state;
};

G_DEFINE_TYPE(GstH265Postprocessor, gst_h265_postprocessor, GST_TYPE_ELEMENT)

gboolean
h265_postprocessor_register(GstPlugin *plugin)
{
  return element_register(plugin, "h265postprocessor", GST_RANK_NONE,
                          GST_TYPE_H265_POSTPROCESSOR, &h265_postprocessor_debug,
                          "h265postprocessor", "H265 postprocessor");
}

static void gst_h265_postprocessor_finalize(GObject *object);
static void gst_h265_postprocessor_set_property(GObject *object, guint prop_id,
                                                const GValue *value, GParamSpec *pspec);
static void gst_h265_postprocessor_get_property(GObject *object, guint prop_id, GValue *value,
                                                GParamSpec *pspec);
static GstStateChangeReturn gst_h265_postprocessor_change_state(GstElement *element,
                                                                GstStateChange transition);
static gboolean gst_h265_postprocessor_sink_event(GstPad *pad, GstObject *parent,
                                                  GstEvent *event);
static gboolean gst_h265_postprocessor_src_event(GstPad *pad, GstObject *parent,
                                                 GstEvent *event);
static gboolean gst_h265_postprocessor_src_query(GstPad *pad, GstObject *parent,
                                                 GstQuery *query);
static GstFlowReturn gst_h265_postprocessor_chain(GstPad *pad, GstObject *parent,
                                                  GstBuffer *buffer);
static void gst_h265_postprocessor_reset(GstH265Postprocessor *self);

static void
gst_h265_postprocessor_class_init(GstH265PostprocessorClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = gst_h265_postprocessor_finalize;
  gobject_class->set_property = gst_h265_postprocessor_set_property;
  gobject_class->get_property = gst_h265_postprocessor_get_property;

  g_object_class_install_property(
      gobject_class, PROP_NO_QUEUE,
      g_param_spec_boolean("no-queue", "Do not queue input buffers", nullptr, kDefaultNoQueue,
                           kElementPropertyFlags));

  gst_element_class_set_metadata(element_class, "H265postprocessor", "Parser",
                                 "Processes H265 stream in passhtrough mode",
                                 "Transcoding team <transcoding@example.com>");
  element_class->change_state = GST_DEBUG_FUNCPTR(gst_h265_postprocessor_change_state);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
gst_h265_postprocessor_init(GstH265Postprocessor *self)
{
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(gst_h265_postprocessor_chain);
  spec.sink_event = ELEMENT_FUNC(gst_h265_postprocessor_sink_event);
  spec.sink_flags = GST_PAD_FLAG_PROXY_ALLOCATION;
  spec.src_flags = GST_PAD_FLAG_PROXY_ALLOCATION;
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
  gst_pad_set_event_function(self->srcpad,
                             GST_DEBUG_FUNCPTR(gst_h265_postprocessor_src_event));
  gst_pad_set_query_function(self->srcpad,
                             GST_DEBUG_FUNCPTR(gst_h265_postprocessor_src_query));
  self->state = new H265PostprocessorState(GST_ELEMENT(self), self->sinkpad, self->srcpad);
}

static void
gst_h265_postprocessor_finalize(GObject *object)
{
  GstH265Postprocessor *self = GST_H265_POSTPROCESSOR(object);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(gst_h265_postprocessor_parent_class)->finalize(object);
}

static void
gst_h265_postprocessor_set_property(GObject *object, guint prop_id, const GValue *value,
                                    GParamSpec *pspec)
{
  GstH265Postprocessor *self = GST_H265_POSTPROCESSOR(object);
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case PROP_NO_QUEUE: self->state->no_queue = g_value_get_boolean(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void
gst_h265_postprocessor_get_property(GObject *object, guint prop_id, GValue *value,
                                    GParamSpec *pspec)
{
  GstH265Postprocessor *self = GST_H265_POSTPROCESSOR(object);
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case PROP_NO_QUEUE: g_value_set_boolean(value, self->state->no_queue); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static GstStateChangeReturn
gst_h265_postprocessor_change_state(GstElement *element, GstStateChange transition)
{
  GstH265Postprocessor *self = GST_H265_POSTPROCESSOR(element);
  if (transition == GST_STATE_CHANGE_READY_TO_NULL) {
    self->state->queue.flush();
    gst_h265_postprocessor_reset(self);
  }
  return GST_ELEMENT_CLASS(gst_h265_postprocessor_parent_class)
      ->change_state(element, transition);
}

// Parameter sets: stores and codec data.

namespace {

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

// pps_pic_parameter_set_id (H.265 7.3.2.3.1); -1 when unreadable.
gint
get_pps_id(const guint8 *data, gsize size)
{
  if (size < 2) return -1;
  GstBitReader reader;
  gst_bit_reader_init(&reader, data + 2, static_cast<guint>(MIN(size - 2, G_MAXUINT)));
  guint32 id = 0;
  if (!bit_reader_get_ue(&reader, &id) || id > kMaxPpsId) return -1;
  return static_cast<gint>(id);
}

GstH265NalUnit
make_nalu(const guint8 *data, gsize size)
{
  GstH265NalUnit nalu{};
  nalu.data = const_cast<guint8 *>(data);
  nalu.size = static_cast<guint>(size);
  nalu.header_bytes = 2;
  nalu.type = (data[0] >> 1) & 0x3F;
  nalu.layer_id = ((data[0] & 1) << 5) | (data[1] >> 3);
  nalu.temporal_id_plus1 = data[1] & 7;
  nalu.valid = TRUE;
  return nalu;
}

}  // namespace

static gstref::Ref<GstBuffer>
gst_h265_postprocessor_get_codec_data(GstH265Postprocessor *self)
{
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
  if (!caps || gst_caps_is_empty(caps.get()) || gst_caps_is_any(caps.get())) return {};
  const GValue *value =
      gst_structure_get_value(gst_caps_get_structure(caps.get(), 0), "codec_data");
  if (!value || !GST_VALUE_HOLDS_BUFFER(value)) return {};
  return gstref::retain(gst_value_get_buffer(value));
}

// Sets the entry's processed bytes: the SPS with the caps' pixel aspect ratio in its VUI, or
// the received bytes when that is not possible or not needed.
static void
gst_h265_postprocessor_process_sps(GstH265Postprocessor *self, SpsEntry &entry,
                                   const GstH265SPS &sps)
{
  entry.processed = {};
  gint par_n = 0, par_d = 0;
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
  if (caps && !gst_caps_is_empty(caps.get()) && !gst_caps_is_any(caps.get()))
    gst_structure_get_fraction(gst_caps_get_structure(caps.get(), 0), "pixel-aspect-ratio",
                               &par_n, &par_d);
  h265::SpsRewriteResult result = h265::rewrite_sps_aspect_ratio(
      entry.received->data, entry.received->len, sps, par_n, par_d);
  switch (result.status) {
    case h265::SpsRewrite::kUnchanged: break;
    case h265::SpsRewrite::kExtensions:
      GST_WARNING_OBJECT(self, "Processing SPS with extensions is currently not supported");
      break;
    case h265::SpsRewrite::kRatioTooLarge:
      GST_WARNING_OBJECT(self, "pixel-aspect-ratio %d/%d does not fit the SPS, kept as it is",
                         par_n, par_d);
      break;
    case h265::SpsRewrite::kUnsupported:
      GST_WARNING_OBJECT(self, "SPS %u cannot be rewritten without loss, kept as it is",
                         entry.id);
      break;
    case h265::SpsRewrite::kRewritten:
      GST_DEBUG_OBJECT(self, "SPS %u rewritten for pixel-aspect-ratio %d/%d", entry.id, par_n,
                       par_d);
      entry.processed = byte_array_from(result.bytes.data(), result.bytes.size());
      return;
  }
  entry.processed = gstref::retain(entry.received.get());
}

// Stores a VPS, SPS or PPS; returns its id, or -1 for other units and unusable ones.
static gint
gst_h265_postprocessor_process_nal(GstH265Postprocessor *self, const guint8 *data, gsize size)
{
  H265PostprocessorState *st = self->state;
  // Parameter sets shorter than this make the library read past their end.
  if (size < 3 || size > G_MAXUINT) return -1;
  GstH265NalUnit nalu = make_nalu(data, size);
  switch (nalu.type) {
    case GST_H265_NAL_PPS: {
      const gint id = get_pps_id(data, size);
      if (id < 0) return -1;
      for (ByteArray &p : st->pps_store) {
        if (get_pps_id(p->data, p->len) == id) {
          if (!same_bytes(p.get(), data, size)) p = byte_array_from(data, size);
          return id;
        }
      }
      st->pps_store.push_back(byte_array_from(data, size));
      return id;
    }
    case GST_H265_NAL_SPS: {
      // A repeated SPS needs no second parse.
      for (const SpsEntry &e : st->sps_store)
        if (same_bytes(e.received.get(), data, size)) return e.id;
      if (!st->parser) return -1;
      GstH265SPS sps;
      memset(&sps, 0, sizeof(sps));
      if (gst_h265_parser_parse_sps(st->parser, &nalu, &sps, TRUE) != GST_H265_PARSER_OK) {
        GST_WARNING_OBJECT(self, "Could not parse SPS");
        return -1;
      }
      for (SpsEntry &e : st->sps_store) {
        if (e.id == sps.id) {
          e.received = byte_array_from(data, size);
          gst_h265_postprocessor_process_sps(self, e, sps);
          return sps.id;
        }
      }
      st->sps_store.push_back({sps.id, byte_array_from(data, size), {}});
      gst_h265_postprocessor_process_sps(self, st->sps_store.back(), sps);
      return sps.id;
    }
    case GST_H265_NAL_VPS: {
      if (!st->parser) return -1;
      GstH265VPS vps;
      memset(&vps, 0, sizeof(vps));
      if (gst_h265_parser_parse_vps(st->parser, &nalu, &vps) != GST_H265_PARSER_OK) {
        GST_WARNING_OBJECT(self, "Could not parse VPS");
        return -1;
      }
      for (ByteArray &v : st->vps_store) {
        if (v->len < 3 || (v->data[2] >> 4) == vps.id) {
          v = byte_array_from(data, size);
          return vps.id;
        }
      }
      st->vps_store.push_back(byte_array_from(data, size));
      return vps.id;
    }
    default: return -1;
  }
}

// Refills the stores from the HEVC decoder configuration record of the sink caps. FALSE when
// there is no record to rebuild (absent, too small, of an unknown version, or holding a
// parameter set that cannot be stored).
static bool
gst_h265_postprocessor_parse_codec_data(GstH265Postprocessor *self)
{
  H265PostprocessorState *st = self->state;
  gstref::Ref<GstBuffer> codec_data = gst_h265_postprocessor_get_codec_data(self);
  if (!codec_data) {
    GST_ERROR_OBJECT(self, "Codec data is missing from upstream!");
    return false;
  }
  st->vps_store.clear();
  st->sps_store.clear();
  st->pps_store.clear();
  gstref::BufferMap map(codec_data.get(), GST_MAP_READ);
  const h265::Hvcc hvcc = h265::parse_hvcc(map.data(), map.size());
  switch (hvcc.status) {
    case h265::HvccStatus::kTooSmall:
      GST_ERROR_OBJECT(self, "HEVC Codec Data is too small");
      return false;
    case h265::HvccStatus::kUnsupportedVersion:
      GST_ERROR_OBJECT(self, "Unsupported HEVC Codec Data version");
      return false;
    case h265::HvccStatus::kMalformed:
    case h265::HvccStatus::kOk: break;
  }
  st->nal_length_size = hvcc.nal_length_size;
  bool complete = true;
  for (const h265::HvccUnit &u : hvcc.units) {
    const guint8 *unit = map.data() + u.offset;
    const guint type = (unit[0] >> 1) & 0x3F;
    if (gst_h265_postprocessor_process_nal(self, unit, u.size) < 0 &&
        type >= GST_H265_NAL_VPS && type <= GST_H265_NAL_PPS)
      complete = false;
  }
  if (hvcc.status == h265::HvccStatus::kMalformed)
    GST_ERROR_OBJECT(self, "Error parsing HEVC Codec Data");
  // A record rebuilt from the stores would lose the parameter sets that could not be stored.
  if (!complete) {
    GST_WARNING_OBJECT(self, "codec data holds parameter sets that do not parse, kept as it is");
    return false;
  }
  return true;
}

// The received record's fixed header with arrays rebuilt from the stores (SEI arrays and
// parameter sets too long for a 16-bit length are left out).
static GstBuffer *
gst_h265_postprocessor_create_codec_data(GstH265Postprocessor *self)
{
  H265PostprocessorState *st = self->state;
  gstref::Ref<GstBuffer> received = gst_h265_postprocessor_get_codec_data(self);
  if (!received) return nullptr;
  Bytes out(h265::kHvccHeaderSize);
  if (gst_buffer_extract(received.get(), 0, out.data(), out.size()) != out.size())
    return nullptr;
  std::vector<GByteArray *> vps, sps, pps;
  for (const ByteArray &v : st->vps_store) vps.push_back(v.get());
  for (const SpsEntry &e : st->sps_store) sps.push_back(e.processed.get());
  for (const ByteArray &p : st->pps_store) pps.push_back(p.get());
  guint8 arrays = 0;
  const std::pair<guint8, std::vector<GByteArray *> *> kinds[] = {
      {GST_H265_NAL_VPS, &vps}, {GST_H265_NAL_SPS, &sps}, {GST_H265_NAL_PPS, &pps}};
  for (auto &[type, units] : kinds) {
    std::erase_if(*units, [](GByteArray *a) { return a->len > G_MAXUINT16; });
    if (units->empty()) continue;
    ++arrays;
    out.push_back(type);  // array_completeness 0
    nal::append_length(out, static_cast<guint32>(units->size()), 2);
    for (GByteArray *a : *units) {
      nal::append_length(out, a->len, 2);
      out.insert(out.end(), a->data, a->data + a->len);
    }
  }
  out[22] = arrays;
  return buffer_from(std::move(out));
}

// Caps and negotiation.

// A new parser and stores from the codec data; FALSE when the record cannot be rebuilt.
static bool
gst_h265_postprocessor_load_codec_data(GstH265Postprocessor *self)
{
  H265PostprocessorState *st = self->state;
  if (st->parser) gst_h265_parser_free(st->parser);
  st->parser = gst_h265_parser_new();
  return gst_h265_postprocessor_parse_codec_data(self);
}

static bool
gst_h265_postprocessor_negotiate(GstH265Postprocessor *self)
{
  H265PostprocessorState *st = self->state;
  gstref::Ref<GstCaps> sink_caps = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
  if (!sink_caps || gst_caps_is_empty(sink_caps.get()) || gst_caps_is_any(sink_caps.get()))
    return false;
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_caps_copy(sink_caps.get()));
  GstStructure *s = gst_caps_get_structure(caps.get(), 0);
  if (!gst_structure_has_field_typed(s, "framerate", GST_TYPE_FRACTION))
    gst_structure_set(s, "framerate", GST_TYPE_FRACTION, 25, 1, nullptr);
  // Without a usable record the received one (or its absence) is kept.
  if (gst_h265_postprocessor_load_codec_data(self)) {
    if (GstBuffer *codec_data = gst_h265_postprocessor_create_codec_data(self)) {
      gst_structure_set(s, "codec_data", GST_TYPE_BUFFER, codec_data, nullptr);
      gst_buffer_unref(codec_data);
    }
  }
  GST_INFO_OBJECT(self, "output %" GST_PTR_FORMAT, caps.get());
  st->reconfigure_needed = false;
  return gst_pad_push_event(self->srcpad, gst_event_new_caps(caps.get()));
}

// Events.

static void
gst_h265_postprocessor_reset(GstH265Postprocessor *self)
{
  H265PostprocessorState *st = self->state;
  st->vps_store.clear();
  st->sps_store.clear();
  st->pps_store.clear();
  st->reconfigure_needed = false;
  st->nal_length_size = 0;
  if (st->parser) gst_h265_parser_free(st->parser);
  st->parser = nullptr;
  st->queue.reset();
  // After a seek the output caps stand: reload what they were built from, so that in-band
  // SPS keep being rewritten instead of passing unchanged.
  if (gst_pad_has_current_caps(self->srcpad)) gst_h265_postprocessor_load_codec_data(self);
}

static gboolean
gst_h265_postprocessor_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  GstH265Postprocessor *self = GST_H265_POSTPROCESSOR(parent);
  H265PostprocessorState *st = self->state;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_FLUSH_STOP:
      st->queue.flush();
      gst_h265_postprocessor_reset(self);
      break;
    case GST_EVENT_CAPS:
      if (gst_pad_has_current_caps(self->srcpad)) {
        GST_WARNING_OBJECT(self, "Received CAPS event mid-stream, it will be ignored.");
        gst_event_unref(event);
        return TRUE;
      }
      st->reconfigure_needed = true;
      // Not forwarded (no PROXY_CAPS): the output caps go out with the first buffer.
      break;
    case GST_EVENT_SEGMENT: {
      const bool reconfigure = st->reconfigure_needed;
      gst_h265_postprocessor_reset(self);
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
gst_h265_postprocessor_src_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  GstH265Postprocessor *self = GST_H265_POSTPROCESSOR(parent);
  if (GST_EVENT_TYPE(event) == GST_EVENT_RECONFIGURE) self->state->reconfigure_needed = true;
  return gst_pad_event_default(pad, parent, event);
}

// The queue holds up to kQueueLimit access units back: that many frames of latency.
static gboolean
gst_h265_postprocessor_src_query(GstPad *pad, GstObject *parent, GstQuery *query)
{
  GstH265Postprocessor *self = GST_H265_POSTPROCESSOR(parent);
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
    return gst_pad_query_default(pad, parent, query);
  GST_OBJECT_LOCK(self);
  const bool no_queue = self->state->no_queue;
  GST_OBJECT_UNLOCK(self);
  return self->state->queue.answer_latency(query, no_queue ? 0 : kQueueLimit);
}

// Data path.

// Appends one NAL unit with a big-endian length prefix of the input's size.
static void
gst_h265_postprocessor_write_data(GstH265Postprocessor *self, Bytes &out, const guint8 *data,
                                  gsize size)
{
  nal::append_length(out, static_cast<guint32>(size), self->state->nal_length_size);
  out.insert(out.end(), data, data + size);
}

// The access unit with every SPS replaced by its processed form; nullptr when it is to pass
// unchanged (nothing replaced, or a unit that cannot be identified).
static GstBuffer *
gst_h265_postprocessor_rewrite(GstH265Postprocessor *self, GstBuffer *input)
{
  H265PostprocessorState *st = self->state;
  gstref::BufferMap map(input, GST_MAP_READ);
  if (!map.ok() || !st->parser) return nullptr;
  const guint8 *data = map.data();
  const gsize size = map.size();

  std::vector<UnitPart> &parts = st->parts;
  parts.clear();
  bool replaced = false;
  for (gsize pos = 0; pos < size;) {
    GstH265NalUnit nalu;
    if (!h265::identify_nalu_hevc(st->parser, data, pos, size, st->nal_length_size, &nalu))
      return nullptr;
    UnitPart part{nalu.offset, nalu.size, nullptr};
    if (nalu.type >= GST_H265_NAL_VPS && nalu.type <= GST_H265_NAL_PPS) {
      const gint id = gst_h265_postprocessor_process_nal(self, data + nalu.offset, nalu.size);
      if (nalu.type == GST_H265_NAL_SPS && id >= 0) {
        for (const SpsEntry &e : st->sps_store) {
          if (e.id == id) {
            part.replacement = e.processed.get();
            replaced = replaced || !same_bytes(e.processed.get(), data + nalu.offset, nalu.size);
            break;
          }
        }
      }
    }
    parts.push_back(part);
    pos = gsize(nalu.offset) + nalu.size;
  }
  if (!replaced) return nullptr;

  Bytes out;
  out.reserve(size + 64);
  for (const UnitPart &p : parts) {
    if (p.replacement)
      gst_h265_postprocessor_write_data(self, out, p.replacement->data, p.replacement->len);
    else
      gst_h265_postprocessor_write_data(self, out, data + p.offset, p.size);
  }
  GstBuffer *output = buffer_from(std::move(out));
  gst_buffer_copy_into(output, input, GST_BUFFER_COPY_METADATA, 0, 0);
  // One output buffer per access unit: MP4 muxers take the last sample's length from it.
  GST_BUFFER_DURATION(output) = GST_BUFFER_DURATION(input);
  return output;
}

static GstFlowReturn
gst_h265_postprocessor_chain(GstPad *, GstObject *parent, GstBuffer *buffer)
{
  GstH265Postprocessor *self = GST_H265_POSTPROCESSOR(parent);
  H265PostprocessorState *st = self->state;
  gstref::Ref<GstBuffer> input = gstref::adopt(gst_buffer_make_writable(buffer));

  if (st->reconfigure_needed && !gst_h265_postprocessor_negotiate(self)) {
    GST_ERROR_OBJECT(self, "Reconfigure failed");
    return GST_FLOW_ERROR;
  }
  GST_OBJECT_LOCK(self);
  const bool no_queue = st->no_queue;
  GST_OBJECT_UNLOCK(self);

  OutputQueue::Buffers out;
  if (GstBuffer *rewritten = gst_h265_postprocessor_rewrite(self, input.get()))
    out.push_back(gstref::adopt(rewritten));
  else
    out.push_back(std::move(input));
  if (!no_queue) {
    st->queue.prepare_timestamps(out.front().get());
    return st->queue.enqueue(std::move(out), kQueueLimit);
  }
  bool dropped = false;
  return st->queue.push_direct(std::move(out), &dropped);
}
