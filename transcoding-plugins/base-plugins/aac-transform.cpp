// aactransform: converts framed AAC between raw (AudioSpecificConfig in "codec_data"), ADTS
// and LOAS/LATM framing.
//
// The output framing is not a property: the element asks the peer of its source pad which
// audio/mpeg caps it takes and converts raw -> ADTS, ADTS -> raw, LOAS -> raw or LOAS -> ADTS,
// or passes buffers through when the sink caps already fit. Buffers without PTS get the
// expected one (previous PTS + 1024 samples); input that never carried a PTS is timed from
// the segment start. A channel layout given by a program config element is carried across
// framings: in the AudioSpecificConfig for raw, at the start of each frame for ADTS.
//
//   gst-launch-1.0 filesrc location=a.aac ! aacparse ! aactransform ! mp4mux ! filesink
//       location=a.m4a
//
// Limits: one AAC frame per buffer (framed=true); LOAS with one program, one layer,
// audioMuxVersion 0 and one payload per frame. A StreamMuxConfig that changes mid-stream
// reaches the caps only at the next reconfiguration.
#include "transcoding-plugins/base-plugins/aac-transform.h"

#include <gst/base/gstbitreader.h>

#include <cstring>
#include <string>

#include "transcoding-plugins/base-plugins/loas-parser.h"
#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

#define GST_CAT_DEFAULT aac_transform_debug_category()

namespace {

enum Mode : guint32 {
  kModePassThrough = 0,
  kModeRawToAdts = 1,
  kModeAdtsToRaw = 2,
  kModeLoasToAdts = 3,
  kModeLoasToRaw = 4,
};

constexpr gsize kAdtsHeaderSize = 7;
// aac_frame_length is 13 bits and counts the header.
constexpr gsize kMaxAdtsPayload = 8191 - kAdtsHeaderSize;
constexpr guint kSamplesPerFrame = 1024;
// ISO/IEC 14496-3 Table 4.85.
constexpr guint8 kIdPce = 5;
// Room for the largest PCE with its ID_PCE (45 channel elements, 3 LFE, 7 data and 15
// coupling elements, 255 comment bytes: 306 bytes) behind a 2-byte AudioSpecificConfig.
constexpr gsize kMaxPceBytes = 320;
// Rates up to this are taken as the core rate of an SBR stream.
constexpr gint kMaxSbrCoreRate = 24000;

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/mpeg, mpegversion=(int){2,4}, stream-format=(string){adts, raw}, "
                    "framed=true"));
GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/mpeg, mpegversion=(int){2,4}, stream-format=(string){adts, raw, "
                    "loas}, framed=true"));

// ISO/IEC 14496-3 Table 1.18.
constexpr guint kSamplingFrequencies[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                            22050, 16000, 12000, 11025, 8000,  7350};

}  // namespace

struct _AACTransform {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gboolean silent;
  gboolean reconfigure_pending;
  gboolean segment_pending;
  guint32 mode;
  GstBuffer *codec_data;
  LoasState loas;
  GstClockTime expected_pts;
  gint channels;
  gint rate;
  // ADTS header values derived from codec_data when a mode that writes ADTS is chosen.
  AdtsConfig adts;
  // The program config element each written ADTS frame starts with; null when the layout is
  // a channel configuration.
  GstBuffer *adts_pce;
  // Whether any input buffer carried a PTS since the element left READY.
  gboolean pts_seen;
  // Core sampling rate of the config in use, for frame durations; 0 when unknown.
  gint frame_rate;
};

G_DEFINE_TYPE(AACTransform, aac_transform, GST_TYPE_ELEMENT)

gboolean
aac_transform_register(GstPlugin *plugin)
{
  aac_transform_debug_category();
  return gst_element_register(plugin, "aactransform", GST_RANK_MARGINAL, AAC_TYPE_TRANSFORM);
}

static void aac_transform_finalize(GObject *object);
static GstStateChangeReturn aac_transform_change_state(GstElement *element,
                                                       GstStateChange transition);
static gboolean aac_transform_sink_event(GstPad *pad, GstObject *parent, GstEvent *event);
static gboolean aac_transform_src_event(GstPad *pad, GstObject *parent, GstEvent *event);
static GstFlowReturn aac_transform_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer);

static void
aac_transform_class_init(AACTransformClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = aac_transform_finalize;
  element_class_install_silent_property(gobject_class, G_STRUCT_OFFSET(AACTransform, silent));

  gst_element_class_set_metadata(element_class, "AAC Transform", "Parser/Depayloader",
                                 "Transforms RAW AAC to ADTS",
                                 "Transcoding team <transcoding@example.com>");
  element_class->change_state = GST_DEBUG_FUNCPTR(aac_transform_change_state);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
aac_transform_init(AACTransform *self)
{
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(aac_transform_chain);
  spec.sink_event = ELEMENT_FUNC(aac_transform_sink_event);
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
  gst_pad_set_event_function(self->srcpad, GST_DEBUG_FUNCPTR(aac_transform_src_event));
  self->expected_pts = GST_CLOCK_TIME_NONE;
}

static void
aac_transform_finalize(GObject *object)
{
  AACTransform *self = AAC_TRANSFORM(object);
  gst_clear_buffer(&self->codec_data);
  gst_clear_buffer(&self->adts_pce);
  G_OBJECT_CLASS(aac_transform_parent_class)->finalize(object);
}

static GstStateChangeReturn
aac_transform_change_state(GstElement *element, GstStateChange transition)
{
  AACTransform *self = AAC_TRANSFORM(element);
  if (transition == GST_STATE_CHANGE_READY_TO_NULL) gst_clear_buffer(&self->codec_data);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
    self->pts_seen = FALSE;
    self->expected_pts = GST_CLOCK_TIME_NONE;
  }
  return GST_ELEMENT_CLASS(aac_transform_parent_class)->change_state(element, transition);
}

static gboolean
aac_transform_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  AACTransform *self = AAC_TRANSFORM(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps *caps;
      gst_event_parse_caps(event, &caps);
      if (gst_caps_get_size(caps) > 0) {
        const GstStructure *s = gst_caps_get_structure(caps, 0);
        gst_structure_get_int(s, "rate", &self->rate);
        gst_structure_get_int(s, "channels", &self->channels);
      }
      // Not forwarded: the converted caps go out with the next buffer.
      self->reconfigure_pending = TRUE;
      break;
    }
    case GST_EVENT_SEGMENT:
      // Held until the caps of the next buffer are out; stays sticky on the sink pad.
      self->segment_pending = TRUE;
      self->expected_pts = GST_CLOCK_TIME_NONE;
      gst_event_unref(event);
      return TRUE;
    default: break;
  }
  return gst_pad_event_default(pad, parent, event);
}

static gboolean
aac_transform_src_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  if (GST_EVENT_TYPE(event) == GST_EVENT_RECONFIGURE)
    AAC_TRANSFORM(parent)->reconfigure_pending = TRUE;
  return gst_pad_event_default(pad, parent, event);
}

// Caps the peer of the source pad takes, narrowed to `mpegversion` when known.
static gstref::Ref<GstCaps>
query_peer_caps(AACTransform *self, const GstStructure *sink_structure)
{
  gstref::Ref<GstCaps> peer;
  if (gst_pad_is_linked(self->srcpad)) {
    gint version;
    if (gst_structure_get_int(sink_structure, "mpegversion", &version)) {
      gstref::Ref<GstCaps> filter = gstref::adopt(
          gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, version, nullptr));
      peer = gstref::adopt(gst_pad_peer_query_caps(self->srcpad, filter.get()));
    }
    if (!peer || gst_caps_is_empty(peer.get()) || gst_caps_is_any(peer.get())) {
      gstref::Ref<GstCaps> filter =
          gstref::adopt(gst_caps_from_string("audio/mpeg,mpegversion={2,4}"));
      peer = gstref::adopt(gst_pad_peer_query_caps(self->srcpad, filter.get()));
    }
  }
  // ANY has no structure to read a format from: treat it as no answer.
  if (!peer || gst_caps_is_empty(peer.get()) || gst_caps_is_any(peer.get())) {
    peer = gstref::adopt(
        gst_caps_new_simple("audio/mpeg", "stream-format", G_TYPE_STRING, "raw", nullptr));
  }
  return peer;
}

static gint
sampling_rate(guint index, guint explicit_frequency)
{
  if (index == 15) return gint(explicit_frequency);
  return index < G_N_ELEMENTS(kSamplingFrequencies) ? gint(kSamplingFrequencies[index]) : 0;
}

// Rate and channels in the caps from the AudioSpecificConfig (ISO/IEC 14496-3 Tables 1.18,
// 1.19). Missing values are filled in: raw caps from a LOAS source often lack them, and
// muxers need them. The channel count of a PCE layout replaces what upstream said, which
// parsers that do not read the PCE get wrong. Returns the core rate, 0 when unknown.
static gint
caps_from_config(GstStructure *s, GstBuffer *codec_data)
{
  gstref::BufferMap map(codec_data, GST_MAP_READ);
  GstBitReader br;
  gst_bit_reader_init(&br, map.data(), map.size());
  AacAudioConfig config;
  if (!map.ok() || !loas_parse_audio_specific_config(&br, &config)) return 0;
  const gint rate = sampling_rate(config.sampling_index, config.sampling_frequency);
  const guint channels = config.channel_configuration == 0   ? config.pce_channels
                         : config.channel_configuration == 7 ? 8
                                                             : config.channel_configuration;
  if (rate > 0 && !gst_structure_has_field(s, "rate"))
    gst_structure_set(s, "rate", G_TYPE_INT, rate, nullptr);
  if (channels > 0 && (config.pce_channels > 0 || !gst_structure_has_field(s, "channels")))
    gst_structure_set(s, "channels", G_TYPE_INT, gint(channels), nullptr);
  return rate;
}

static bool
set_adts_config(AACTransform *self)
{
  gst_clear_buffer(&self->adts_pce);
  gstref::BufferMap map(self->codec_data, GST_MAP_READ);
  if (!map.ok() || !adts_config_from_codec_data(map.data(), map.size(), &self->adts))
    return false;
  if (self->adts.channel_configuration != 0) return true;
  guint channels;
  const std::vector<guint8> pce = adts_pce_from_codec_data(map.data(), map.size(), &channels);
  if (pce.empty()) {
    GST_WARNING_OBJECT(self, "channel configuration 0 without a program config element: "
                             "the ADTS frames cannot say their channel layout");
    return true;
  }
  GST_DEBUG_OBJECT(self, "%u-channel program config element in each ADTS frame", channels);
  self->adts_pce = gst_buffer_new_memdup(pce.data(), pce.size());
  return true;
}

// The AudioSpecificConfig of an ADTS stream from its first frame, with the rate and channels
// that frame says: upstream caps may be wrong. With channel configuration 0 the layout is the
// PCE that the frame's raw_data_block starts with. FALSE when the buffer is no ADTS frame.
static bool
codec_data_from_adts_frame(AACTransform *self, GstBuffer *buffer, GstStructure *s)
{
  gstref::BufferMap map(buffer, GST_MAP_READ);
  guint object_type, channel_configuration, sampling_index, header = 0;
  if (map.ok())
    header = parse_adts_frame(map.data(), map.size(), &object_type, &channel_configuration,
                              &sampling_index);
  if (header == 0) {
    GST_WARNING_OBJECT(self, "no ADTS header in the buffer, dropping it");
    return false;
  }
  guint channels = channel_configuration == 7 ? 8 : channel_configuration;
  std::vector<guint8> config;
  if (channel_configuration == 0) {
    config = codec_data_from_adts_pce(object_type, sampling_index, map.data() + header,
                                      map.size() - header, &channels);
    if (config.empty())
      GST_WARNING_OBJECT(self, "channel configuration 0 without a program config element in "
                               "the first frame: the channel layout is unknown");
  }
  if (config.empty()) {
    config.resize(2);
    codec_data_from_adts(config.data(), object_type, sampling_index, channel_configuration);
  }
  self->codec_data = gst_buffer_new_memdup(config.data(), config.size());
  const gint rate = sampling_rate(sampling_index, 0);
  if (rate > 0) gst_structure_set(s, "rate", G_TYPE_INT, rate, nullptr);
  if (channels > 0) gst_structure_set(s, "channels", G_TYPE_INT, gint(channels), nullptr);
  return true;
}

static gstref::Ref<GstCaps>
adts_caps()
{
  return gstref::adopt(
      gst_caps_new_simple("audio/mpeg", "stream-format", G_TYPE_STRING, "adts", nullptr));
}

static bool
has_pce_layout(GstBuffer *codec_data)
{
  gstref::BufferMap map(codec_data, GST_MAP_READ);
  GstBitReader br;
  gst_bit_reader_init(&br, map.data(), map.size());
  AacAudioConfig config;
  return map.ok() && loas_parse_audio_specific_config(&br, &config) && config.pce_channels > 0;
}

// The sampling rate an ADTS frame's header gives, 0 when it has none.
static gint
adts_rate(GstBuffer *buffer)
{
  gstref::BufferMap map(buffer, GST_MAP_READ);
  guint object_type, channel_configuration, sampling_index;
  if (!map.ok() || !parse_adts_frame(map.data(), map.size(), &object_type,
                                     &channel_configuration, &sampling_index))
    return 0;
  return sampling_rate(sampling_index, 0);
}

enum class Reconfigure { kDone, kDropBuffer, kNotNegotiated };

// Picks the mode from the sink caps and what the peer takes, and pushes the new caps.
static Reconfigure
aac_transform_do_reconfigure(AACTransform *self, GstBuffer *buffer)
{
  gstref::Ref<GstCaps> current = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
  if (!current || gst_caps_is_empty(current.get())) {
    GST_WARNING_OBJECT(self, "no caps on the sink pad");
    return Reconfigure::kDropBuffer;
  }
  gstref::Ref<GstCaps> sinkcaps = gstref::adopt(gst_caps_copy(current.get()));
  GstStructure *sink_s = gst_caps_get_structure(sinkcaps.get(), 0);

  gstref::Ref<GstCaps> peer = query_peer_caps(self, sink_s);
  const gchar *in = gst_structure_get_string(sink_s, "stream-format");
  const std::string in_format = in ? in : "";
  // MPEG-TS muxers take raw AAC but write ADTS headers of their own from the config's first
  // bytes, which loses a PCE layout: where the peer takes ADTS too, such a stream goes out as
  // ADTS carrying its PCE.
  const bool adts_ok = gst_caps_can_intersect(peer.get(), adts_caps().get());
  const GValue *sink_config = gst_structure_get_value(sink_s, "codec_data");
  if (in_format == "raw" && adts_ok && sink_config && G_VALUE_HOLDS(sink_config, GST_TYPE_BUFFER) &&
      has_pce_layout(gst_value_get_buffer(sink_config)))
    peer = gstref::adopt(gst_caps_intersect(peer.get(), adts_caps().get()));
  peer.reset(gst_caps_make_writable(peer.release()));
  GstStructure *peer_s = gst_caps_get_structure(peer.get(), 0);
  if (!gst_structure_get_string(peer_s, "stream-format"))
    gst_structure_set(peer_s, "stream-format", G_TYPE_STRING, "raw", nullptr);
  gint version;
  if (gst_structure_get_int(peer_s, "mpegversion", &version))
    gst_structure_set(sink_s, "mpegversion", G_TYPE_INT, version, nullptr);

  if (gst_caps_is_subset(sinkcaps.get(), peer.get())) {
    GST_INFO_OBJECT(self, "sink caps fit downstream: passing through");
    self->mode = kModePassThrough;
  } else {
    gstref::Ref<GstCaps> fixed = gstref::adopt(gst_caps_fixate(gst_caps_ref(peer.get())));
    const gchar *out = gst_structure_get_string(gst_caps_get_structure(fixed.get(), 0),
                                                "stream-format");
    std::string out_format = out ? out : "";
    if (in_format == "raw" && out_format == "adts") {
      const GValue *v = gst_structure_get_value(sink_s, "codec_data");
      GstBuffer *cd = v && G_VALUE_HOLDS(v, GST_TYPE_BUFFER) ? gst_value_get_buffer(v) : nullptr;
      gst_buffer_replace(&self->codec_data, cd);
      if (!self->codec_data || !set_adts_config(self)) {
        // Every ADTS header field comes from the config: nothing sound can be written.
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("Raw AAC without a usable AudioSpecificConfig cannot become ADTS"),
                          ("sink caps %" GST_PTR_FORMAT " carry no codec_data of 2 or more bytes",
                           current.get()));
        return Reconfigure::kNotNegotiated;
      }
      gst_structure_remove_field(sink_s, "codec_data");
      self->mode = kModeRawToAdts;
    } else if (in_format == "adts" && out_format == "raw") {
      gst_clear_buffer(&self->codec_data);
      if (!codec_data_from_adts_frame(self, buffer, sink_s)) return Reconfigure::kDropBuffer;
      gst_structure_set(sink_s, "codec_data", GST_TYPE_BUFFER, self->codec_data, nullptr);
      self->mode = kModeAdtsToRaw;
    } else if (in_format == "loas" && (out_format == "raw" || out_format == "adts")) {
      GstBuffer *cd = nullptr;
      const gboolean parsed =
          loas_parse_frame(GST_ELEMENT(self), &self->loas, buffer, nullptr, &cd);
      if (!parsed) gst_clear_buffer(&cd);
      // A frame reusing the StreamMuxConfig already parsed keeps its config: dropping frames
      // up to the next config on a mid-stream RECONFIGURE would lose audio.
      if (!cd && parsed && self->codec_data && self->loas.loas_initialized)
        cd = gst_buffer_ref(self->codec_data);
      gst_clear_buffer(&self->codec_data);
      if (!cd) {
        GST_DEBUG_OBJECT(self, "no StreamMuxConfig yet, dropping the frame");
        return Reconfigure::kDropBuffer;
      }
      self->codec_data = cd;
      if (out_format == "raw" && adts_ok && has_pce_layout(cd)) out_format = "adts";
      if (out_format == "raw") {
        gst_structure_set(sink_s, "codec_data", GST_TYPE_BUFFER, self->codec_data, nullptr);
        self->mode = kModeLoasToRaw;
      } else {
        if (!set_adts_config(self)) {
          GST_WARNING_OBJECT(self, "AudioSpecificConfig too short for ADTS, dropping the frame");
          gst_clear_buffer(&self->codec_data);
          return Reconfigure::kDropBuffer;
        }
        self->mode = kModeLoasToAdts;
      }
    } else {
      GST_WARNING_OBJECT(self, "Working in unknown mode (neither raw->adts or adts->raw)");
    }
    gst_structure_set(sink_s, "stream-format", G_TYPE_STRING, out_format.c_str(), nullptr);
  }

  // The config behind the output: in the caps for raw, behind the ADTS headers otherwise.
  const GValue *config = gst_structure_get_value(sink_s, "codec_data");
  GstBuffer *config_buffer = config && G_VALUE_HOLDS(config, GST_TYPE_BUFFER)
                                 ? gst_value_get_buffer(config)
                                 : nullptr;
  if (self->mode == kModeRawToAdts || self->mode == kModeLoasToAdts)
    config_buffer = self->codec_data;
  self->frame_rate = config_buffer ? caps_from_config(sink_s, config_buffer) : 0;
  if (self->frame_rate == 0 && in_format == "adts") self->frame_rate = adts_rate(buffer);

  // A core rate of 24 kHz or less with SBR decodes at twice the rate.
  const GValue *v = gst_structure_get_value(sink_s, "codec_data");
  if (v && G_VALUE_HOLDS(v, GST_TYPE_BUFFER) && self->rate > 0 &&
      self->rate <= kMaxSbrCoreRate) {
    gstref::BufferMap map(gst_value_get_buffer(v), GST_MAP_READ);
    if (map.ok() && aac_codec_data_signals_sbr(map.data(), map.size()))
      gst_structure_set(sink_s, "rate", G_TYPE_INT, 2 * self->rate, nullptr);
  }

  GST_INFO_OBJECT(self, "mode %u, caps %" GST_PTR_FORMAT, self->mode, sinkcaps.get());
  if (!gst_pad_push_event(self->srcpad, gst_event_new_caps(sinkcaps.get())))
    GST_WARNING_OBJECT(self, "Couldn't push transformed caps");
  self->reconfigure_pending = FALSE;
  return Reconfigure::kDone;
}

// The payload of `buffer` behind a new ADTS header and `pce` (when given and the payload does
// not start with a PCE of its own); null when it does not fit ADTS.
static GstBuffer *
transform_raw_to_adts(GstBuffer *buffer, const AdtsConfig &config, GstBuffer *pce)
{
  const gsize size = gst_buffer_get_size(buffer);
  guint8 first = 0;
  if (pce && gst_buffer_extract(buffer, 0, &first, 1) == 1 && first >> 5 == kIdPce)
    pce = nullptr;
  const gsize pce_size = pce ? gst_buffer_get_size(pce) : 0;
  guint8 header[kAdtsHeaderSize];
  if (!write_adts_header(header, config, pce_size + size)) return nullptr;
  GstBuffer *out = gst_buffer_new_allocate(nullptr, kAdtsHeaderSize + pce_size + size, nullptr);
  gst_buffer_copy_into(out, buffer,
                       static_cast<GstBufferCopyFlags>(GST_BUFFER_COPY_FLAGS |
                                                       GST_BUFFER_COPY_TIMESTAMPS |
                                                       GST_BUFFER_COPY_META),
                       0, -1);
  gstref::BufferMap map(out, GST_MAP_WRITE);
  std::memcpy(map.data(), header, kAdtsHeaderSize);
  if (pce) gst_buffer_extract(pce, 0, map.data() + kAdtsHeaderSize, pce_size);
  gst_buffer_extract(buffer, 0, map.data() + kAdtsHeaderSize + pce_size, size);
  return out;
}

static GstBuffer *
transform_loas_to_raw(AACTransform *self, GstBuffer *buffer)
{
  GstBuffer *payload = nullptr;
  if (!loas_parse_frame(GST_ELEMENT(self), &self->loas, buffer, &payload, nullptr)) {
    gst_clear_buffer(&payload);
    return nullptr;
  }
  if (payload) {
    GST_BUFFER_PTS(payload) = GST_BUFFER_PTS(buffer);
    GST_BUFFER_DTS(payload) = GST_BUFFER_DTS(buffer);
    GST_BUFFER_DURATION(payload) = GST_BUFFER_DURATION(buffer);
  }
  return payload;
}

static GstBuffer *
transform_adts_to_raw(AACTransform *self, GstBuffer *buffer)
{
  guint header = 0, object_type, channel_configuration, sampling_index;
  {
    gstref::BufferMap map(buffer, GST_MAP_READ);
    if (map.ok())
      header = parse_adts_frame(map.data(), map.size(), &object_type, &channel_configuration,
                                &sampling_index);
  }
  if (header == 0) {
    // Passing it on would put junk into a raw stream.
    GST_WARNING_OBJECT(self, "buffer without ADTS header, dropping it");
    return nullptr;
  }
  if (channel_configuration == 0) {
    // The layout is in the codec_data now; a PCE left in the access unit would be read twice.
    gstref::BufferMap map(buffer, GST_MAP_READ);
    guint channels;
    if (map.ok()) header += raw_block_pce_size(map.data() + header, map.size() - header, &channels);
  }
  GstBuffer *out = gst_buffer_copy_region(
      buffer,
      static_cast<GstBufferCopyFlags>(GST_BUFFER_COPY_FLAGS | GST_BUFFER_COPY_TIMESTAMPS |
                                      GST_BUFFER_COPY_META | GST_BUFFER_COPY_MEMORY),
      header, gst_buffer_get_size(buffer) - header);
  // A region at a non-zero offset does not carry the timestamps.
  GST_BUFFER_PTS(out) = GST_BUFFER_PTS(buffer);
  GST_BUFFER_DTS(out) = GST_BUFFER_DTS(buffer);
  GST_BUFFER_DURATION(out) = GST_BUFFER_DURATION(buffer);
  return out;
}

static GstBuffer *
checked_raw_to_adts(AACTransform *self, GstBuffer *payload)
{
  GstBuffer *out = transform_raw_to_adts(payload, self->adts, self->adts_pce);
  if (!out)
    GST_WARNING_OBJECT(self, "%" G_GSIZE_FORMAT "-byte frame does not fit ADTS, dropping it",
                       gst_buffer_get_size(payload));
  return out;
}

// The PTS of a buffer that has none: the prediction, or for input that never carried a PTS
// the segment start, so that muxers which need timestamps get them.
static GstClockTime
predicted_pts(AACTransform *self)
{
  if (GST_CLOCK_TIME_IS_VALID(self->expected_pts) || self->pts_seen) return self->expected_pts;
  gstref::Ref<GstEvent> event =
      gstref::adopt(gst_pad_get_sticky_event(self->sinkpad, GST_EVENT_SEGMENT, 0));
  const GstSegment *segment = nullptr;
  if (event) gst_event_parse_segment(event.get(), &segment);
  return segment && segment->format == GST_FORMAT_TIME ? segment->start : 0;
}

static void
advance_expected_pts(AACTransform *self, GstClockTime pts)
{
  // One AAC frame is 1024 samples at the core rate, whatever the channel count.
  const gint rate = self->frame_rate > 0 ? self->frame_rate : self->rate;
  if (GST_CLOCK_TIME_IS_VALID(pts) && rate > 0)
    self->expected_pts = pts + gst_util_uint64_scale(GST_SECOND, kSamplesPerFrame, rate);
}

// Timestamps made up for input that never carried one count in TIME: a segment in another
// format (appsrc's default is BYTES) would leave them meaningless downstream.
static GstEvent *
outgoing_segment(AACTransform *self, GstEvent *event)
{
  const GstSegment *segment;
  gst_event_parse_segment(event, &segment);
  if (segment->format == GST_FORMAT_TIME || self->pts_seen) return event;
  GstSegment time;
  gst_segment_init(&time, GST_FORMAT_TIME);
  GstEvent *out = gst_event_new_segment(&time);
  gst_event_set_seqnum(out, gst_event_get_seqnum(event));
  gst_event_unref(event);
  return out;
}

static GstFlowReturn
aac_transform_chain(GstPad *, GstObject *parent, GstBuffer *in)
{
  AACTransform *self = AAC_TRANSFORM(parent);
  gstref::Ref<GstBuffer> buffer = gstref::adopt(in);

  const bool timed = GST_BUFFER_PTS_IS_VALID(in);
  self->pts_seen |= timed;
  if (!timed) {
    const GstClockTime pts = predicted_pts(self);
    if (GST_CLOCK_TIME_IS_VALID(pts)) {
      buffer.reset(gst_buffer_make_writable(buffer.release()));
      GST_BUFFER_PTS(buffer.get()) = pts;
    }
  }
  const GstClockTime pts = GST_BUFFER_PTS(buffer.get());

  if (self->reconfigure_pending) {
    switch (aac_transform_do_reconfigure(self, buffer.get())) {
      case Reconfigure::kDone: break;
      // A predicted PTS moves on only with output, so that generated timestamps stay
      // contiguous.
      case Reconfigure::kDropBuffer:
        if (timed) advance_expected_pts(self, pts);
        return GST_FLOW_OK;
      case Reconfigure::kNotNegotiated: return GST_FLOW_NOT_NEGOTIATED;
    }
  }
  if (self->segment_pending) {
    gstref::Ref<GstEvent> segment =
        gstref::adopt(gst_pad_get_sticky_event(self->sinkpad, GST_EVENT_SEGMENT, 0));
    if (segment) {
      gst_pad_push_event(self->srcpad, outgoing_segment(self, segment.release()));
      self->segment_pending = FALSE;
    }
  }

  gstref::Ref<GstBuffer> out;
  switch (self->mode) {
    case kModePassThrough: out = std::move(buffer); break;
    case kModeRawToAdts: out = gstref::adopt(checked_raw_to_adts(self, buffer.get())); break;
    case kModeAdtsToRaw: out = gstref::adopt(transform_adts_to_raw(self, buffer.get())); break;
    case kModeLoasToAdts: {
      gstref::Ref<GstBuffer> payload = gstref::adopt(transform_loas_to_raw(self, buffer.get()));
      if (payload) out = gstref::adopt(checked_raw_to_adts(self, payload.get()));
      break;
    }
    case kModeLoasToRaw: out = gstref::adopt(transform_loas_to_raw(self, buffer.get())); break;
    default: break;
  }
  if (timed || out) advance_expected_pts(self, pts);
  if (!out) {
    GST_WARNING_OBJECT(self, "AAC Transform doesn't have output buffer");
    return GST_FLOW_OK;
  }
  return gst_pad_push(self->srcpad, out.release());
}

guint
parse_adts_frame(const guint8 *data, gsize size, guint *object_type,
                 guint *channel_configuration, guint *sampling_index)
{
  if (size < kAdtsHeaderSize) return 0;
  GstBitReader br;
  gst_bit_reader_init(&br, data, kAdtsHeaderSize);
  if (gst_bit_reader_get_bits_uint32_unchecked(&br, 12) != 0xFFF) return 0;
  gst_bit_reader_skip_unchecked(&br, 1 + 2);  // ID, layer
  const guint protection_absent = gst_bit_reader_get_bits_uint32_unchecked(&br, 1);
  const guint profile = gst_bit_reader_get_bits_uint32_unchecked(&br, 2);
  const guint sfi = gst_bit_reader_get_bits_uint32_unchecked(&br, 4);
  gst_bit_reader_skip_unchecked(&br, 1);  // private_bit
  const guint channels = gst_bit_reader_get_bits_uint32_unchecked(&br, 3);
  if (!protection_absent && size <= 8) return 0;
  *object_type = profile + 1;
  *sampling_index = sfi;
  *channel_configuration = channels;
  return protection_absent ? 7 : 9;
}

gboolean
adts_config_from_codec_data(const guint8 *data, gsize size, AdtsConfig *config)
{
  if (size < 2) return FALSE;
  config->object_type = data[0] >> 3;
  config->sampling_index = ((data[0] & 7) << 1) | (data[1] >> 7);
  config->channel_configuration = (data[1] >> 3) & 0x0F;
  // Explicit SBR/PS: ADTS carries the core object type (ISO/IEC 14496-3 1.6.5.2).
  if (config->object_type == 5 || config->object_type == 29) {
    GstBitReader br;
    gst_bit_reader_init(&br, data, size);
    AacAudioConfig asc;
    if (loas_parse_audio_specific_config(&br, &asc)) config->object_type = asc.object_type;
  }
  return TRUE;
}

gboolean
write_adts_header(guint8 h[7], const AdtsConfig &config, gsize payload_size)
{
  if (payload_size > kMaxAdtsPayload) return FALSE;
  const guint length = payload_size + kAdtsHeaderSize;
  const guint profile = (config.object_type - 1) & 3;
  const guint channels = config.channel_configuration & 7;
  h[0] = 0xFF;
  h[1] = 0xF1;  // MPEG-4, layer 0, no CRC
  h[2] = (profile << 6) | ((config.sampling_index & 0x0F) << 2) | (channels >> 2);
  h[3] = ((channels & 3) << 6) | (length >> 11);
  h[4] = (length >> 3) & 0xFF;
  h[5] = ((length & 7) << 5) | 0x1F;  // buffer fullness 0x7FF: variable rate
  h[6] = 0xFC;
  return TRUE;
}

void
codec_data_from_adts(guint8 out[2], guint object_type, guint sampling_index,
                     guint channel_configuration)
{
  out[0] = (object_type << 3) | ((sampling_index >> 1) & 7);
  out[1] = ((sampling_index & 1) << 7) | ((channel_configuration & 0x0F) << 3);
}

namespace {

// Writes the PCE at the reader's position behind what the writer holds and returns the
// writer's bytes: a PCE ends byte-aligned. Empty when it is cut short or lays out nothing.
std::vector<guint8>
append_pce(GstBitReader *reader, GstBitWriter *writer, guint *channels)
{
  guint count;
  if (!aac_read_program_config_element(reader, writer, &count) || count == 0) return {};
  *channels = count;
  const guint8 *data = gst_bit_writer_get_data(writer);
  return std::vector<guint8>(data, data + gst_bit_writer_get_size(writer) / 8);
}

}  // namespace

std::vector<guint8>
adts_pce_from_codec_data(const guint8 *data, gsize size, guint *channels)
{
  GstBitReader br;
  gst_bit_reader_init(&br, data, size);
  AacAudioConfig config;
  if (!loas_parse_audio_specific_config(&br, &config) || !config.ga_specific ||
      config.channel_configuration != 0 || config.pce_channels == 0)
    return {};
  gst_bit_reader_set_pos(&br, config.pce_position);
  // The bit writer ORs into its storage: it starts zeroed.
  guint8 storage[kMaxPceBytes] = {};
  GstBitWriter bw;
  gst_bit_writer_init_with_data(&bw, storage, sizeof storage, FALSE);
  gst_bit_writer_put_bits_uint8(&bw, kIdPce, 3);
  return append_pce(&br, &bw, channels);
}

gsize
raw_block_pce_size(const guint8 *block, gsize size, guint *channels)
{
  GstBitReader br;
  gst_bit_reader_init(&br, block, size);
  guint8 id;
  guint count;
  if (!gst_bit_reader_get_bits_uint8(&br, &id, 3) || id != kIdPce) return 0;
  if (!aac_read_program_config_element(&br, nullptr, &count) || count == 0) return 0;
  *channels = count;
  return gst_bit_reader_get_pos(&br) / 8;
}

std::vector<guint8>
codec_data_from_adts_pce(guint object_type, guint sampling_index, const guint8 *block,
                         gsize size, guint *channels)
{
  GstBitReader br;
  gst_bit_reader_init(&br, block, size);
  guint8 id;
  if (sampling_index >= G_N_ELEMENTS(kSamplingFrequencies)) return {};
  if (!gst_bit_reader_get_bits_uint8(&br, &id, 3) || id != kIdPce) return {};
  guint8 storage[kMaxPceBytes] = {};
  GstBitWriter bw;
  gst_bit_writer_init_with_data(&bw, storage, sizeof storage, FALSE);
  // audioObjectType, samplingFrequencyIndex, channelConfiguration 0, then the
  // GASpecificConfig: frameLengthFlag, dependsOnCoreCoder and extensionFlag all 0.
  gst_bit_writer_put_bits_uint8(&bw, object_type, 5);
  gst_bit_writer_put_bits_uint8(&bw, sampling_index, 4);
  gst_bit_writer_put_bits_uint8(&bw, 0, 4 + 3);
  return append_pce(&br, &bw, channels);
}

gboolean
aac_codec_data_signals_sbr(const guint8 *data, gsize size)
{
  GstBitReader br;
  gst_bit_reader_init(&br, data, size);
  AacAudioConfig config;
  if (!loas_parse_audio_specific_config(&br, &config)) return FALSE;
  if (config.first_object_type == 5 || config.first_object_type == 29) return TRUE;
  // Backward-compatible signalling after the GASpecificConfig: syncExtensionType 0x2B7,
  // extensionAudioObjectType 5, sbrPresentFlag.
  if (!config.ga_specific || config.extension_flag) return FALSE;
  guint32 sync;
  guint8 extension_type, sbr_present;
  if (!gst_bit_reader_get_bits_uint32(&br, &sync, 11) || sync != 0x2B7) return FALSE;
  if (!loas_parse_object_type(&br, &extension_type) || extension_type != 5) return FALSE;
  return gst_bit_reader_get_bits_uint8(&br, &sbr_present, 1) && sbr_present == 1;
}
