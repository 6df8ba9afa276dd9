// dynamicaudionormalizer: evens out loudness over time in raw float audio.
//
// Drives the Dynamic Audio Normalizer (here FFmpeg's dynaudnorm behind the library's
// interface), which is a separate library opened when the first instance goes to READY:
// interleaved buffers become planes of doubles, the normaliser processes them in place and its
// delayed output is interleaved into new buffers. The normaliser is drained at
// discontinuities, at end of stream and before a format change, and rebuilt for each format.
//
//   gst-launch-1.0 filesrc location=in.wav ! wavparse ! audioconvert !
//       audio/x-raw,format=F32LE ! dynamicaudionormalizer peak-value=0.9 ! audioconvert !
//       wavenc ! filesink location=out.wav
//
// Limits: the normaliser holds (filter-size + 1) x frame-length of audio (16 s with the
// defaults), which the element reports as latency; property changes take effect at the next
// format change. Values the engine cannot take are clamped with a warning. Without the library
// the change to READY fails with a RESOURCE/NOT_FOUND error.
#include "transcoding-plugins/base-plugins/dynamic-audio-normalizer.h"

#include <gst/audio/audio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dynamic-audio-normalizer/loader.h"
#include "transcoding-plugins/common/audio-filter.h"
#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(dynamic_audio_normalizer_debug);
#define GST_CAT_DEFAULT dynamic_audio_normalizer_debug

namespace {

constexpr char kCaps[] =
    "audio/x-raw, format=(string) {F32LE, F64LE }, rate=(int)[1,MAX], channels=(int)[1,8], "
    "layout=(string) {interleaved}";

constexpr int kMaxChannels = 8;
// Drain buffers hold at least this many frames, whatever the size of the last input buffer.
constexpr gsize kMinDrainFrames = 1024;

constexpr gint kDefaultFrameLength = 500;
constexpr gint kDefaultFilterSize = 31;
constexpr gdouble kDefaultPeakValue = 0.95;
constexpr gdouble kDefaultMaxAmplification = 10.0;
constexpr gdouble kDefaultTargetRms = 0.0;
constexpr gdouble kDefaultCompressFactor = 0.0;
constexpr gboolean kDefaultChannelCoupling = TRUE;
constexpr gboolean kDefaultDcCorrection = FALSE;
constexpr gboolean kDefaultAltBoundary = FALSE;
constexpr gboolean kDefaultAllowLimiting = TRUE;

enum {
  PROP_0,
  PROP_FRAME_LENGTH = 1,
  PROP_FILTER_SIZE = 2,
  PROP_PEAK_VALUE = 3,
  PROP_MAX_AMPLIFICATION = 4,
  PROP_TARGET_RMS = 5,
  PROP_COMPRESS_FACTOR = 6,
  PROP_CHANNEL_COUPLING = 7,
  PROP_DC_CORRECTION = 8,
  PROP_ALT_BOUNDARY = 9,
  PROP_ALLOW_LIMITING = 10,
};

class Transform : public AudioTransform {
 public:
  using AudioTransform::AudioTransform;

  BufferList filter(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow) override;
  void audio_info_did_change() override;
  void discard() override;
  bool sink_event(const fn::AutoPtr<GstEvent> &event) override;
  bool query(GstPadDirection direction, GstQuery *query) override;
  void set_property(guint prop_id, const GValue *value, GParamSpec *pspec) override;
  void get_property(guint prop_id, GValue *value, GParamSpec *pspec) override;
  // Opens the library (once per process) for the change to READY; posts the error.
  bool open_library();

 private:
  DanConfig config(uint32_t channels, uint32_t rate);
  void deinterleave(GstBuffer *buffer);
  fn::AutoPtr<GstBuffer> interleave(gsize frames);
  GstClockTime latency();

  std::array<std::vector<double>, kMaxChannels> planes;
  std::array<double *, kMaxChannels> plane_pointers{};
  // Set at the first change to READY; LATENCY queries read it from other threads.
  std::atomic<const normalizer::Library *> library{nullptr};
  std::unique_ptr<normalizer::Normalizer> normalizer;
  // The normaliser could not be built: audio passes unchanged rather than being lost.
  bool passthrough = false;
  // What the current normaliser holds, for LATENCY queries from other threads; NONE before
  // the first format.
  std::atomic<GstClockTime> held{GST_CLOCK_TIME_NONE};

  // Properties, under the object lock.
  gint frame_length_ms = 0;
  gint filter_size = 0;
  gdouble peak_value = 0.0;
  gdouble max_amplification = 0.0;
  gdouble target_rms = 0.0;
  gdouble compress_factor = 0.0;
  bool channel_coupling = false;
  bool dc_correction = false;
  bool alt_boundary = false;
  bool allow_limiting = false;
};

}  // namespace

typedef BaseTransformElement DynamicAudioNormalizer;
typedef BaseTransformElementClass DynamicAudioNormalizerClass;

G_DEFINE_TYPE(DynamicAudioNormalizer, dynamic_audio_normalizer, TYPE_BASE_TRANSFORM_ELEMENT)

static GstStateChangeReturn dynamic_audio_normalizer_change_state(GstElement *element,
                                                                  GstStateChange transition);

gboolean
dynamic_audio_normalizer_register(GstPlugin *plugin)
{
  return element_register(plugin, "dynamicaudionormalizer", GST_RANK_NONE,
                          TYPE_DYNAMIC_AUDIO_NORMALIZER, &dynamic_audio_normalizer_debug,
                          "dynamicaudionormalizer", "Normalizes Audio Levels");
}

static void
dynamic_audio_normalizer_class_init(DynamicAudioNormalizerClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  fn::AutoPtr<GstCaps> caps(gst_caps_from_string(kCaps));
  base_transform_element_class_setup(klass, caps, caps);

  const GParamFlags flags = kElementPropertyFlags;
  g_object_class_install_property(
      gobject_class, PROP_FRAME_LENGTH,
      g_param_spec_int("frame-length", "Frame Length", "Length of frame in milliseconds", 0,
                       G_MAXINT, kDefaultFrameLength, flags));
  g_object_class_install_property(
      gobject_class, PROP_FILTER_SIZE,
      g_param_spec_int("filter-size", "Filter Size",
                       "Gauss filter size, in frames, must be odd number", 0, G_MAXINT,
                       kDefaultFilterSize, flags));
  g_object_class_install_property(
      gobject_class, PROP_PEAK_VALUE,
      g_param_spec_double("peak-value", "Peak Value", "Target peak magnitude, 0.1-1", 0.01, 1.0,
                          kDefaultPeakValue, flags));
  g_object_class_install_property(
      gobject_class, PROP_MAX_AMPLIFICATION,
      g_param_spec_double("max-amplification", "Maximum Amplification", "Maximum gain factor",
                          1.0, 100.0, kDefaultMaxAmplification, flags));
  g_object_class_install_property(
      gobject_class, PROP_TARGET_RMS,
      g_param_spec_double("target-rms", "Target RMS Value", "Target RMS value", 0.0, 1.0,
                          kDefaultTargetRms, flags));
  g_object_class_install_property(
      gobject_class, PROP_COMPRESS_FACTOR,
      g_param_spec_double("compress-factor", "Compress Factor", "Compress the input data", 0.0,
                          100.0, kDefaultCompressFactor, flags));
  g_object_class_install_property(
      gobject_class, PROP_CHANNEL_COUPLING,
      g_param_spec_boolean("channel-coupling", "Channel Coupling",
                           "Gain factor consistent across channels", kDefaultChannelCoupling,
                           flags));
  g_object_class_install_property(
      gobject_class, PROP_DC_CORRECTION,
      g_param_spec_boolean("dc-correction", "DC Correction", "Enable the DC bias correction",
                           kDefaultDcCorrection, flags));
  g_object_class_install_property(
      gobject_class, PROP_ALT_BOUNDARY,
      g_param_spec_boolean("alt-boundary", "Alternative Boundary",
                           "Enable the alternative boundary mode", kDefaultAltBoundary, flags));
  g_object_class_install_property(
      gobject_class, PROP_ALLOW_LIMITING,
      g_param_spec_boolean("allow-limiting", "Allow Limiting",
                           "Limit maximum amplitude to peak-value", kDefaultAllowLimiting, flags));

  GST_ELEMENT_CLASS(klass)->change_state = dynamic_audio_normalizer_change_state;
  gst_element_class_set_metadata(GST_ELEMENT_CLASS(klass), "DynamicAudioNormalizer", "Filter",
                                 "Normalizes Audio Levels",
                                 "Transcoding team <transcoding@example.com>");
}

static void
dynamic_audio_normalizer_init(DynamicAudioNormalizer *self)
{
  self->transform = new Transform(self);
}

static GstStateChangeReturn
dynamic_audio_normalizer_change_state(GstElement *element, GstStateChange transition)
{
  auto *self = reinterpret_cast<DynamicAudioNormalizer *>(element);
  if (transition == GST_STATE_CHANGE_NULL_TO_READY &&
      !static_cast<Transform *>(self->transform)->open_library())
    return GST_STATE_CHANGE_FAILURE;
  return GST_ELEMENT_CLASS(dynamic_audio_normalizer_parent_class)
      ->change_state(element, transition);
}

namespace {

void
Transform::set_property(guint prop_id, const GValue *value, GParamSpec *pspec)
{
  GST_OBJECT_LOCK(element);
  switch (prop_id) {
    case PROP_FRAME_LENGTH: frame_length_ms = g_value_get_int(value); break;
    case PROP_FILTER_SIZE: filter_size = g_value_get_int(value); break;
    case PROP_PEAK_VALUE: peak_value = g_value_get_double(value); break;
    case PROP_MAX_AMPLIFICATION: max_amplification = g_value_get_double(value); break;
    case PROP_TARGET_RMS: target_rms = g_value_get_double(value); break;
    case PROP_COMPRESS_FACTOR: compress_factor = g_value_get_double(value); break;
    case PROP_CHANNEL_COUPLING: channel_coupling = g_value_get_boolean(value); break;
    case PROP_DC_CORRECTION: dc_correction = g_value_get_boolean(value); break;
    case PROP_ALT_BOUNDARY: alt_boundary = g_value_get_boolean(value); break;
    case PROP_ALLOW_LIMITING: allow_limiting = g_value_get_boolean(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(element, prop_id, pspec); break;
  }
  GST_OBJECT_UNLOCK(element);
}

void
Transform::get_property(guint prop_id, GValue *value, GParamSpec *pspec)
{
  GST_OBJECT_LOCK(element);
  switch (prop_id) {
    case PROP_FRAME_LENGTH: g_value_set_int(value, frame_length_ms); break;
    case PROP_FILTER_SIZE: g_value_set_int(value, filter_size); break;
    case PROP_PEAK_VALUE: g_value_set_double(value, peak_value); break;
    case PROP_MAX_AMPLIFICATION: g_value_set_double(value, max_amplification); break;
    case PROP_TARGET_RMS: g_value_set_double(value, target_rms); break;
    case PROP_COMPRESS_FACTOR: g_value_set_double(value, compress_factor); break;
    case PROP_CHANNEL_COUPLING: g_value_set_boolean(value, channel_coupling); break;
    case PROP_DC_CORRECTION: g_value_set_boolean(value, dc_correction); break;
    case PROP_ALT_BOUNDARY: g_value_set_boolean(value, alt_boundary); break;
    case PROP_ALLOW_LIMITING: g_value_set_boolean(value, allow_limiting); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(element, prop_id, pspec); break;
  }
  GST_OBJECT_UNLOCK(element);
}

bool
Transform::open_library()
{
  if (library) return true;
  const normalizer::LoadResult loaded = normalizer::load();
  if (!loaded.library) {
    GST_ELEMENT_ERROR(element, RESOURCE, NOT_FOUND,
                      ("Could not load the normaliser library \"%s\".", loaded.path.c_str()),
                      ("%s", loaded.error.c_str()));
    return false;
  }
  GST_INFO_OBJECT(element, "normaliser library %s", loaded.path.c_str());
  library = loaded.library;
  return true;
}

DanConfig
Transform::config(uint32_t channels, uint32_t rate)
{
  GST_OBJECT_LOCK(element);
  const DanConfig c{channels,
                    rate,
                    static_cast<uint32_t>(frame_length_ms),
                    static_cast<uint32_t>(filter_size),
                    peak_value,
                    max_amplification,
                    target_rms,
                    compress_factor,
                    channel_coupling,
                    dc_correction,
                    alt_boundary,
                    allow_limiting};
  GST_OBJECT_UNLOCK(element);
  return c;
}

void
Transform::audio_info_did_change()
{
  normalizer.reset();
  held = 0;
  passthrough = true;
  if (!library) return;
  auto built = std::make_unique<normalizer::Normalizer>(
      *library.load(), config(GST_AUDIO_INFO_CHANNELS(&in_info), GST_AUDIO_INFO_RATE(&in_info)));
  std::istringstream adjustments(built->adjustments());
  for (std::string line; std::getline(adjustments, line);)
    GST_WARNING_OBJECT(element, "%s", line.c_str());
  if (!built->initialize()) {
    GST_WARNING_OBJECT(element, "cannot build the normaliser for %d channels at %d Hz: audio "
                       "passes unchanged", GST_AUDIO_INFO_CHANNELS(&in_info),
                       GST_AUDIO_INFO_RATE(&in_info));
    return;
  }
  passthrough = false;
  held = gst_util_uint64_scale_int(built->getInternalDelay(), GST_SECOND,
                                   GST_AUDIO_INFO_RATE(&in_info));
  GST_DEBUG_OBJECT(element, "normaliser for %d channels at %d Hz, delay %" G_GINT64_FORMAT
                   " frames", GST_AUDIO_INFO_CHANNELS(&in_info), GST_AUDIO_INFO_RATE(&in_info),
                   built->getInternalDelay());
  normalizer = std::move(built);
}

void
Transform::discard()
{
  if (normalizer) normalizer->reset();
}

bool
Transform::sink_event(const fn::AutoPtr<GstEvent> &event)
{
  // A new format rebuilds the normaliser: send what the old one holds first, in the old
  // format, instead of dropping it.
  if (GST_EVENT_TYPE(event.get()) == GST_EVENT_CAPS && normalizer) {
    GstCaps *caps = nullptr;
    gst_event_parse_caps(event.get(), &caps);
    GstAudioInfo info;
    if (caps && gst_caps_is_fixed(caps) && gst_audio_info_from_caps(&info, caps) &&
        !gst_audio_info_is_equal(&info, &in_info)) {
      BufferList tail = flush();
      push_all(tail);
    }
  }
  return AudioTransform::sink_event(event);
}

GstClockTime
Transform::latency()
{
  const GstClockTime current = held;
  if (GST_CLOCK_TIME_IS_VALID(current)) return current;
  // No format yet: what a normaliser will hold with the current properties at 48 kHz.
  constexpr int kRate = 48000;
  const normalizer::Library *lib = library;
  if (!lib) return 0;
  const normalizer::Normalizer probe(*lib, config(1, kRate));
  return gst_util_uint64_scale_int(probe.getInternalDelay(), GST_SECOND, kRate);
}

bool
Transform::query(GstPadDirection direction, GstQuery *q)
{
  if (direction != GST_PAD_SRC || GST_QUERY_TYPE(q) != GST_QUERY_LATENCY)
    return AudioTransform::query(direction, q);
  if (!gst_pad_peer_query(GST_BASE_TRANSFORM_SINK_PAD(base()), q)) return false;
  gboolean live = FALSE;
  GstClockTime min = 0, max = GST_CLOCK_TIME_NONE;
  gst_query_parse_latency(q, &live, &min, &max);
  const GstClockTime own = latency();
  GST_DEBUG_OBJECT(element, "adding latency %" GST_TIME_FORMAT, GST_TIME_ARGS(own));
  min += own;
  if (GST_CLOCK_TIME_IS_VALID(max)) max += own;
  gst_query_set_latency(q, live, min, max);
  return true;
}

void
Transform::deinterleave(GstBuffer *buffer)
{
  gstref::BufferMap map(buffer, GST_MAP_READ);
  const bool is_double = GST_AUDIO_INFO_FORMAT(&out_info) == GST_AUDIO_FORMAT_F64LE;
  const gsize samples = map.size() / (is_double ? 8 : 4);
  const int channels = std::clamp(GST_AUDIO_INFO_CHANNELS(&out_info), 1, kMaxChannels);
  const gsize frames = samples / channels;
  for (int c = 0; c < channels; ++c) {
    planes[c].resize(frames);
    plane_pointers[c] = planes[c].data();
  }
  if (is_double) {
    const auto *in = reinterpret_cast<const double *>(map.data());
    for (gsize i = 0; i < frames; ++i)
      for (int c = 0; c < channels; ++c) planes[c][i] = in[i * channels + c];
  } else {
    const auto *in = reinterpret_cast<const float *>(map.data());
    for (gsize i = 0; i < frames; ++i)
      for (int c = 0; c < channels; ++c) planes[c][i] = in[i * channels + c];
  }
}

fn::AutoPtr<GstBuffer>
Transform::interleave(gsize frames)
{
  const bool is_double = GST_AUDIO_INFO_FORMAT(&out_info) == GST_AUDIO_FORMAT_F64LE;
  const int channels = std::clamp(GST_AUDIO_INFO_CHANNELS(&out_info), 1, kMaxChannels);
  fn::AutoPtr<GstBuffer> buffer = allocate_buffer(frames * channels * (is_double ? 8 : 4));
  gstref::BufferMap map(buffer.get(), GST_MAP_WRITE);
  if (!map.ok()) return {};
  if (is_double) {
    auto *out = reinterpret_cast<double *>(map.data());
    for (gsize i = 0; i < frames; ++i)
      for (int c = 0; c < channels; ++c) out[i * channels + c] = planes[c][i];
  } else {
    auto *out = reinterpret_cast<float *>(map.data());
    for (gsize i = 0; i < frames; ++i)
      for (int c = 0; c < channels; ++c) out[i * channels + c] = static_cast<float>(planes[c][i]);
  }
  return buffer;
}

BaseTransform::BufferList
Transform::filter(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow)
{
  flow = GST_FLOW_OK;
  BufferList out;
  const int channels = GST_AUDIO_INFO_CHANNELS(&in_info);
  const int bytes_per_sample = GST_AUDIO_INFO_WIDTH(&in_info) / 8;
  if (input) {
    if (passthrough || !normalizer || channels < 1 || bytes_per_sample < 1) {
      out.push_back(input);
      return out;
    }
    deinterleave(input.get());
    const gint64 frames =
        static_cast<gint64>(gst_buffer_get_size(input.get()) / channels / bytes_per_sample);
    int64_t produced = 0;
    normalizer->processInplace(plane_pointers.data(), frames, produced);
    GST_LOG_OBJECT(element, "%" G_GINT64_FORMAT " frames in, %" G_GINT64_FORMAT " out", frames,
                   produced);
    if (produced >= 1) {
      if (auto b = interleave(static_cast<gsize>(produced))) out.push_back(std::move(b));
    }
    return out;
  }

  if (!normalizer) return out;
  // Drain into blocks of at least kMinDrainFrames, so that a tiny (or empty) last buffer does
  // not turn the held seconds into thousands of buffers, or lose them.
  const int out_channels = std::clamp(GST_AUDIO_INFO_CHANNELS(&out_info), 1, kMaxChannels);
  const gsize capacity = std::max(planes[0].size(), kMinDrainFrames);
  for (int c = 0; c < out_channels; ++c) {
    planes[c].resize(capacity);
    plane_pointers[c] = planes[c].data();
  }
  int64_t produced = 0;
  while (normalizer->flushBuffer(plane_pointers.data(), static_cast<int64_t>(capacity),
                                 produced) &&
         produced >= 1) {
    if (auto b = interleave(static_cast<gsize>(produced))) out.push_back(std::move(b));
  }
  GST_DEBUG_OBJECT(element, "drained %zu buffers", out.size());
  normalizer->reset();
  return out;
}

}  // namespace
