// bufferskip: general buffer, timestamp, segment and caps adjustments.
//
// Skips leading buffers (by count or duration), stops after a number of buffers, shifts
// timestamps by a delay, clips or aligns buffers to the segment, forces monotone timestamps,
// drops videorate duplicates, keeps the first segment's time base and rewrites a few caps
// fields.
//
//   gst-launch-1.0 videotestsrc num-buffers=100 ! bufferskip amount=10 delay=500000000
//       pixel-aspect-ratio-override=4/3 ! fakesink
//
// Limits: clip only moves timestamps, it never cuts payload. Clip and align-first-buffer act
// only in TIME segments; before any segment, or in other formats, buffers pass unchanged.
// amount, pass and duration count down per stream: a flush or a restart re-arms them.
#include "transcoding-plugins/base-plugins/buffer-skip.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(buffer_skip_debug);
#define GST_CAT_DEFAULT buffer_skip_debug

namespace {

constexpr gint kDefaultAmount = 0;
constexpr gint kDefaultPass = -1;
constexpr guint64 kDefaultDuration = GST_CLOCK_TIME_NONE;
constexpr gint64 kDefaultDelay = 0;
constexpr gboolean kDefaultAllowNotLinked = TRUE;
constexpr guint64 kDefaultMinimalStreamTime = GST_CLOCK_TIME_NONE;
// Frames closer than this (49 fps) are candidates for videorate duplicates.
constexpr GstClockTime kDuplicateMaxDistance = 20408162;
// pass once the limit has been reached.
constexpr gint kPassExhausted = -2;

enum {
  PROP_0,
  PROP_AMOUNT = 1,
  PROP_PASS = 2,
  PROP_DURATION = 3,
  PROP_DELAY = 4,
  PROP_FORCE_MONOTONE = 5,
  PROP_RESET_SEGMENT_STOP = 6,
  // 7 was retired and stays unused.
  PROP_ALIGN_FIRST_BUFFER = 8,
  PROP_CLIP = 9,
  PROP_PAR_OVERRIDE = 10,
  PROP_FIX_PAR = 11,
  PROP_FRAMERATE_OVERRIDE = 12,
  PROP_KEEP_ORIGINAL_SEGMENT = 13,
  PROP_DUMMY_EVENT_AFTER_SEGMENT = 14,
  PROP_ALLOW_NOT_LINKED = 15,
  PROP_FILTER_DUPLICATES = 16,
  PROP_MINIMAL_STREAM_TIME = 17,
  PROP_REMOVE_INTERLACE_MODE = 18,
};

GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

struct Fraction {
  gint num;
  gint den;
};

// Property values. Set by the application and read by the streaming thread, so every access
// goes through the object lock; amount, pass and duration are also counted down under it.
struct Settings {
  gint amount = kDefaultAmount;
  gint pass = kDefaultPass;
  guint64 duration = kDefaultDuration;
  gint64 delay = kDefaultDelay;
  gboolean force_monotone = FALSE;
  gboolean reset_segment_stop = FALSE;
  gboolean align_first_buffer = FALSE;
  gboolean clip = FALSE;
  gboolean fix_pixel_aspect_ratio = FALSE;
  gboolean keep_first_segment = FALSE;
  gboolean dummy_event_after_segment = FALSE;
  gboolean allow_not_linked = kDefaultAllowNotLinked;
  gboolean filter_duplicates = FALSE;
  gboolean remove_interlace_mode = FALSE;
  Fraction par_override{0, 1};
  Fraction framerate_override{-1, 1};
  guint64 minimal_stream_time = kDefaultMinimalStreamTime;
  // The values last set: a new stream (flush or restart) counts down from them again.
  gint armed_amount = kDefaultAmount;
  gint armed_pass = kDefaultPass;
  guint64 armed_duration = kDefaultDuration;

  void rearm() {
    amount = armed_amount;
    pass = armed_pass;
    duration = armed_duration;
  }
};

}  // namespace

struct BufferSkipState {
  Settings settings;

  // Per stream: cleared on flush and when streaming stops.
  GstClockTime last_end_time = 0;
  guint32 buffer_count = 0;
  GstSegment segment;
  GstSegment first_segment;
  gstref::Ref<GstBuffer> held_buffer;
  gstref::Ref<GstBuffer> last_buffer;

  BufferSkipState() { reset_stream(); }

  void reset_stream() {
    gst_segment_init(&segment, GST_FORMAT_UNDEFINED);
    gst_segment_init(&first_segment, GST_FORMAT_UNDEFINED);
    held_buffer.reset();
    last_buffer.reset();
    last_end_time = 0;
    buffer_count = 0;
  }
};

struct _GstBufferSkip {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  BufferSkipState *state;
};

G_DEFINE_TYPE(GstBufferSkip, gst_buffer_skip, GST_TYPE_ELEMENT)

gboolean
buffer_skip_register(GstPlugin *plugin)
{
  return element_register(plugin, "bufferskip", GST_RANK_NONE, GST_TYPE_BUFFER_SKIP,
                          &buffer_skip_debug, "bufferskip", "Template buffer_skip");
}

static void gst_buffer_skip_finalize(GObject *object);
static void gst_buffer_skip_set_property(GObject *object, guint prop_id, const GValue *value,
                                         GParamSpec *pspec);
static void gst_buffer_skip_get_property(GObject *object, guint prop_id, GValue *value,
                                         GParamSpec *pspec);
static GstStateChangeReturn gst_buffer_skip_change_state(GstElement *element,
                                                         GstStateChange transition);
static gboolean gst_buffer_skip_sink_event(GstPad *pad, GstObject *parent, GstEvent *event);
static GstFlowReturn gst_buffer_skip_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer);

static void
gst_buffer_skip_class_init(GstBufferSkipClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = gst_buffer_skip_finalize;
  gobject_class->set_property = gst_buffer_skip_set_property;
  gobject_class->get_property = gst_buffer_skip_get_property;

  const GParamFlags flags = kElementPropertyFlags;
  g_object_class_install_property(
      gobject_class, PROP_AMOUNT,
      g_param_spec_int("amount", "Amount", "Number of buffers to skip", 0, G_MAXINT,
                       kDefaultAmount, flags));
  g_object_class_install_property(
      gobject_class, PROP_PASS,
      g_param_spec_int("pass", "Buffers to pass",
                       "Number of buffers that will be allowed to pass before sending EOS", -1,
                       G_MAXINT, kDefaultPass, flags));
  g_object_class_install_property(
      gobject_class, PROP_DURATION,
      g_param_spec_uint64("duration", "Duration to skip",
                          "Duration (GST_CLOCK_TIME) that will be skipped", 0, G_MAXUINT64,
                          kDefaultDuration, flags));
  g_object_class_install_property(
      gobject_class, PROP_DELAY,
      g_param_spec_int64("delay", "Buffer delay",
                         "Increase PTS and DTS on buffers by delay (gint64)", G_MININT64,
                         G_MAXINT64, kDefaultDelay, flags));
  g_object_class_install_property(
      gobject_class, PROP_FORCE_MONOTONE,
      g_param_spec_boolean("force-monotone-timestamps", "Force Monotone Timestamps", nullptr,
                           FALSE, flags));
  g_object_class_install_property(
      gobject_class, PROP_RESET_SEGMENT_STOP,
      g_param_spec_boolean("reset-segment-stop", "Reset Segment Stop Time", nullptr, FALSE,
                           flags));
  g_object_class_install_property(
      gobject_class, PROP_ALIGN_FIRST_BUFFER,
      g_param_spec_boolean("align-first-buffer",
                           "Align first buffer to segment boundary; Also discards all buffers "
                           "before segment start until the last one;",
                           nullptr, FALSE, flags));
  g_object_class_install_property(
      gobject_class, PROP_CLIP,
      g_param_spec_boolean("clip", "Clip buffers to segment boundary", nullptr, FALSE, flags));
  g_object_class_install_property(
      gobject_class, PROP_PAR_OVERRIDE,
      gst_param_spec_fraction("pixel-aspect-ratio-override",
                              "Override original pixel aspect ratio", nullptr, 0, 1, G_MAXINT, 1,
                              0, 1, flags));
  g_object_class_install_property(
      gobject_class, PROP_FIX_PAR,
      g_param_spec_boolean("fix-pixel-aspect-ratio",
                           "Try to fix pixel aspect ratio (i.e. 21845/21836 instead of 1/1)",
                           nullptr, FALSE, flags));
  g_object_class_install_property(
      gobject_class, PROP_FRAMERATE_OVERRIDE,
      gst_param_spec_fraction("framerate-override", "Override original framerate", nullptr, -1,
                              1, G_MAXINT, 1, -1, 1, flags));
  g_object_class_install_property(
      gobject_class, PROP_KEEP_ORIGINAL_SEGMENT,
      g_param_spec_boolean("keep-original-segment",
                           "Whether the first segment received should be kept even after "
                           "subsequent segment events (buffer timestamps will be adjusted)",
                           nullptr, FALSE, flags));
  g_object_class_install_property(
      gobject_class, PROP_DUMMY_EVENT_AFTER_SEGMENT,
      g_param_spec_boolean("dummy-event-after-segment",
                           "Whether to send dummy serialized event after each segment", nullptr,
                           FALSE, flags));
  g_object_class_install_property(
      gobject_class, PROP_ALLOW_NOT_LINKED,
      g_param_spec_boolean("allow-not-linked-result",
                           "Whether GST_FLOW_NOT_LINKED is a valid result (default TRUE)",
                           nullptr, kDefaultAllowNotLinked, flags));
  g_object_class_install_property(
      gobject_class, PROP_FILTER_DUPLICATES,
      g_param_spec_boolean(
          "filter-duplicate-frames",
          "Whether duplicate frames should be removed above 50fps; This is to ensure that we "
          "don't encode frames duplicated by videorate above certain threshold. (default "
          "FALSE)",
          nullptr, FALSE, flags));
  g_object_class_install_property(
      gobject_class, PROP_MINIMAL_STREAM_TIME,
      g_param_spec_uint64("minimal-stream-time", "Minimal stream time",
                          "Shifts time so that stream time of first buffer will be at least value",
                          0, G_MAXUINT64, kDefaultMinimalStreamTime, flags));
  g_object_class_install_property(
      gobject_class, PROP_REMOVE_INTERLACE_MODE,
      g_param_spec_boolean("remove-interlace-mode", "Remove interlace mode from caps", nullptr,
                           FALSE, flags));

  gst_element_class_set_metadata(element_class, "BufferSkip", "Component",
                                 "Swiss-army knife for buffer adjustments",
                                 "Transcoding team <transcoding@example.com>");
  element_class->change_state = GST_DEBUG_FUNCPTR(gst_buffer_skip_change_state);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
gst_buffer_skip_init(GstBufferSkip *self)
{
  self->state = new BufferSkipState();
  const GstPadFlags proxy =
      static_cast<GstPadFlags>(GST_PAD_FLAG_PROXY_CAPS | GST_PAD_FLAG_PROXY_ALLOCATION);
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(gst_buffer_skip_chain);
  spec.sink_event = ELEMENT_FUNC(gst_buffer_skip_sink_event);
  spec.sink_flags = proxy;
  spec.src_flags = proxy;
  spec.pass_through = true;
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
}

static void
gst_buffer_skip_finalize(GObject *object)
{
  GstBufferSkip *self = GST_BUFFER_SKIP(object);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(gst_buffer_skip_parent_class)->finalize(object);
}

static void
gst_buffer_skip_set_property(GObject *object, guint prop_id, const GValue *value,
                             GParamSpec *pspec)
{
  GstBufferSkip *self = GST_BUFFER_SKIP(object);
  Settings &s = self->state->settings;
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case PROP_AMOUNT: s.amount = s.armed_amount = g_value_get_int(value); break;
    case PROP_PASS: s.pass = s.armed_pass = g_value_get_int(value); break;
    case PROP_DURATION: s.duration = s.armed_duration = g_value_get_uint64(value); break;
    case PROP_DELAY: s.delay = g_value_get_int64(value); break;
    case PROP_FORCE_MONOTONE: s.force_monotone = g_value_get_boolean(value); break;
    case PROP_RESET_SEGMENT_STOP: s.reset_segment_stop = g_value_get_boolean(value); break;
    case PROP_ALIGN_FIRST_BUFFER: s.align_first_buffer = g_value_get_boolean(value); break;
    case PROP_CLIP: s.clip = g_value_get_boolean(value); break;
    case PROP_PAR_OVERRIDE:
      s.par_override = {gst_value_get_fraction_numerator(value),
                        gst_value_get_fraction_denominator(value)};
      break;
    case PROP_FIX_PAR: s.fix_pixel_aspect_ratio = g_value_get_boolean(value); break;
    case PROP_FRAMERATE_OVERRIDE:
      s.framerate_override = {gst_value_get_fraction_numerator(value),
                              gst_value_get_fraction_denominator(value)};
      break;
    case PROP_KEEP_ORIGINAL_SEGMENT: s.keep_first_segment = g_value_get_boolean(value); break;
    case PROP_DUMMY_EVENT_AFTER_SEGMENT:
      s.dummy_event_after_segment = g_value_get_boolean(value);
      break;
    case PROP_ALLOW_NOT_LINKED: s.allow_not_linked = g_value_get_boolean(value); break;
    case PROP_FILTER_DUPLICATES: s.filter_duplicates = g_value_get_boolean(value); break;
    case PROP_MINIMAL_STREAM_TIME: s.minimal_stream_time = g_value_get_uint64(value); break;
    case PROP_REMOVE_INTERLACE_MODE: s.remove_interlace_mode = g_value_get_boolean(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void
gst_buffer_skip_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  GstBufferSkip *self = GST_BUFFER_SKIP(object);
  const Settings &s = self->state->settings;
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case PROP_AMOUNT: g_value_set_int(value, s.amount); break;
    case PROP_PASS: g_value_set_int(value, s.pass); break;
    case PROP_DURATION: g_value_set_uint64(value, s.duration); break;
    case PROP_DELAY: g_value_set_int64(value, s.delay); break;
    case PROP_FORCE_MONOTONE: g_value_set_boolean(value, s.force_monotone); break;
    case PROP_RESET_SEGMENT_STOP: g_value_set_boolean(value, s.reset_segment_stop); break;
    case PROP_ALIGN_FIRST_BUFFER: g_value_set_boolean(value, s.align_first_buffer); break;
    case PROP_CLIP: g_value_set_boolean(value, s.clip); break;
    case PROP_PAR_OVERRIDE:
      gst_value_set_fraction(value, s.par_override.num, s.par_override.den);
      break;
    case PROP_FIX_PAR: g_value_set_boolean(value, s.fix_pixel_aspect_ratio); break;
    case PROP_FRAMERATE_OVERRIDE:
      gst_value_set_fraction(value, s.framerate_override.num, s.framerate_override.den);
      break;
    case PROP_KEEP_ORIGINAL_SEGMENT: g_value_set_boolean(value, s.keep_first_segment); break;
    case PROP_DUMMY_EVENT_AFTER_SEGMENT:
      g_value_set_boolean(value, s.dummy_event_after_segment);
      break;
    case PROP_ALLOW_NOT_LINKED: g_value_set_boolean(value, s.allow_not_linked); break;
    case PROP_FILTER_DUPLICATES: g_value_set_boolean(value, s.filter_duplicates); break;
    case PROP_MINIMAL_STREAM_TIME: g_value_set_uint64(value, s.minimal_stream_time); break;
    case PROP_REMOVE_INTERLACE_MODE: g_value_set_boolean(value, s.remove_interlace_mode); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
  GST_OBJECT_UNLOCK(self);
}

static Settings
settings_snapshot(GstBufferSkip *self)
{
  GST_OBJECT_LOCK(self);
  Settings copy = self->state->settings;
  GST_OBJECT_UNLOCK(self);
  return copy;
}

// A flush or a restart begins a new stream, which skips and passes what the properties say.
static void
restart_stream(GstBufferSkip *self)
{
  self->state->reset_stream();
  GST_OBJECT_LOCK(self);
  self->state->settings.rearm();
  GST_OBJECT_UNLOCK(self);
}

static GstStateChangeReturn
gst_buffer_skip_change_state(GstElement *element, GstStateChange transition)
{
  GstBufferSkip *self = GST_BUFFER_SKIP(element);
  GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(gst_buffer_skip_parent_class)->change_state(element, transition);
  switch (transition) {
    // A restarted stream must not inherit the previous run's segments or held buffers.
    case GST_STATE_CHANGE_PAUSED_TO_READY:
    case GST_STATE_CHANGE_READY_TO_NULL: restart_stream(self); break;
    default: break;
  }
  return ret;
}

namespace {

// Shifts a time by a signed offset. Returns false when the result would be negative; clamps
// results that would leave the clock range.
bool
add_signed(GstClockTime time, gint64 offset, GstClockTime *result)
{
  if (offset >= 0) {
    const guint64 max = GST_CLOCK_TIME_NONE - 1;
    *result = time > max - static_cast<guint64>(offset) ? max : time + offset;
    return true;
  }
  const guint64 magnitude = 0ull - static_cast<guint64>(offset);
  if (magnitude > time) return false;
  *result = time - magnitude;
  return true;
}

// Delay shift rule for a time and its duration. Returns false when nothing of the span is left.
bool
shift_by_delay(GstClockTime *time, GstClockTime *duration, gint64 delay)
{
  if (!GST_CLOCK_TIME_IS_VALID(*time)) return true;
  GstClockTime shifted;
  if (add_signed(*time, delay, &shifted)) {
    *time = shifted;
    return true;
  }
  // The span starts before zero: keep the part that ends after zero.
  const GstClockTime d = GST_CLOCK_TIME_IS_VALID(*duration) ? *duration : 0;
  GstClockTime remaining;
  if (!add_signed(d, delay, &remaining) || remaining == 0) return false;
  *time = 0;
  if (GST_CLOCK_TIME_IS_VALID(*duration)) *duration = remaining;
  return true;
}

bool
same_memories(GstBuffer *a, GstBuffer *b)
{
  const guint n = gst_buffer_n_memory(a);
  if (n != gst_buffer_n_memory(b)) return false;
  for (guint i = 0; i < n; ++i) {
    // Peek does not ref: identity is all that matters here.
    if (gst_buffer_peek_memory(a, i) != gst_buffer_peek_memory(b, i)) return false;
  }
  return true;
}

// Offset that maps timestamps of the current segment into the first segment's time base.
gint64
keep_segment_offset(const GstSegment &segment, const GstSegment &first)
{
  return static_cast<gint64>(segment.time) - static_cast<gint64>(segment.start) +
         static_cast<gint64>(first.start) - static_cast<gint64>(first.time);
}

void
shift_into_first_segment(GstClockTime *ts, gint64 offset)
{
  if (!GST_CLOCK_TIME_IS_VALID(*ts)) return;
  GstClockTime shifted;
  *ts = add_signed(*ts, offset, &shifted) ? shifted : 0;
}

bool
is_time_segment(const GstSegment &segment)
{
  return segment.format == GST_FORMAT_TIME;
}

}  // namespace

// Normalises a pixel aspect ratio read from caps; see the property blurb of
// fix-pixel-aspect-ratio. Exposed for tests through the caps path.
static void
normalise_pixel_aspect_ratio(gint *num, gint *den)
{
  gint n = *num, d = *den;
  // Zero or negative terms carry no usable ratio.
  if (n <= 0 || d <= 0 || std::fabs(static_cast<double>(n) / d - 1.0) < 0.01) {
    *num = 1;
    *den = 1;
    return;
  }
  while (n > 1000 || d > 1000) {
    // Stop before a term reaches zero: a 0 denominator is no fraction.
    if (n < 2 || d < 2) break;
    const bool small_enough = n <= 2001 && d <= 2001;
    n /= 2;
    d /= 2;
    if (small_enough) break;
  }
  const gint g = std::gcd(n, d);
  *num = n / g;
  *den = d / g;
}

static GstFlowReturn
push_buffer(GstBufferSkip *self, gstref::Ref<GstBuffer> buffer)
{
  return gst_pad_push(self->srcpad, buffer.release());
}

// Steps 4 and 5 share this: clips [*pts, *pts + *duration) to the segment. Returns false if
// the buffer lies wholly outside it.
static bool
clip_to_segment(const GstSegment &segment, GstClockTime *pts, GstClockTime *duration)
{
  const GstClockTime stop =
      GST_CLOCK_TIME_IS_VALID(*duration) ? *pts + *duration : GST_CLOCK_TIME_NONE;
  guint64 cstart, cstop;
  if (!gst_segment_clip(&segment, GST_FORMAT_TIME, *pts, stop, &cstart, &cstop)) return false;
  *pts = cstart;
  *duration = GST_CLOCK_TIME_IS_VALID(cstop) ? cstop - cstart : GST_CLOCK_TIME_NONE;
  return true;
}

static bool
sink_caps_are_compressed_audio(GstBufferSkip *self)
{
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
  if (!caps || gst_caps_get_size(caps.get()) == 0) return false;
  const char *name = gst_structure_get_name(gst_caps_get_structure(caps.get(), 0));
  return g_str_has_prefix(name, "audio/") && std::strcmp(name, "audio/x-raw") != 0;
}

static GstFlowReturn
gst_buffer_skip_chain(GstPad *, GstObject *parent, GstBuffer *in)
{
  GstBufferSkip *self = GST_BUFFER_SKIP(parent);
  BufferSkipState &st = *self->state;
  gstref::Ref<GstBuffer> buffer = gstref::adopt(in);
  const Settings s = settings_snapshot(self);

  // 1. Duplicate filter: videorate repeats a frame by reusing its memories.
  if (s.filter_duplicates) {
    GstBuffer *last = st.last_buffer.get();
    const GstClockTime pts = GST_BUFFER_PTS(in);
    if (last && GST_CLOCK_TIME_IS_VALID(pts) && GST_BUFFER_PTS_IS_VALID(last) &&
        pts >= GST_BUFFER_PTS(last) && pts - GST_BUFFER_PTS(last) <= kDuplicateMaxDistance &&
        same_memories(in, last)) {
      GST_LOG_OBJECT(self, "dropping duplicate frame at %" GST_TIME_FORMAT, GST_TIME_ARGS(pts));
      return GST_FLOW_OK;
    }
    st.last_buffer = gstref::retain(in);
  }

  // 2.
  buffer.reset(gst_buffer_make_writable(buffer.release()));
  GstBuffer *buf = buffer.get();

  // 3. Keep-original-segment shift.
  if (s.keep_first_segment && st.first_segment.format != GST_FORMAT_UNDEFINED &&
      st.segment.format != GST_FORMAT_UNDEFINED) {
    const gint64 offset = keep_segment_offset(st.segment, st.first_segment);
    shift_into_first_segment(&GST_BUFFER_PTS(buf), offset);
    shift_into_first_segment(&GST_BUFFER_DTS(buf), offset);
  }

  // 4. Clip timestamps (never payload) to the segment.
  if (s.clip && GST_BUFFER_PTS_IS_VALID(buf) && is_time_segment(st.segment)) {
    const GstClockTime original_pts = GST_BUFFER_PTS(buf);
    GstClockTime pts = original_pts, duration = GST_BUFFER_DURATION(buf);
    if (!clip_to_segment(st.segment, &pts, &duration)) {
      GST_LOG_OBJECT(self, "dropping buffer outside the segment");
      return GST_FLOW_OK;
    }
    // Compressed audio cannot start mid-frame: a frame straddling the start is dropped.
    if (original_pts < st.segment.start && sink_caps_are_compressed_audio(self)) {
      GST_LOG_OBJECT(self, "dropping compressed audio frame straddling the segment start");
      return GST_FLOW_OK;
    }
    GST_BUFFER_PTS(buf) = pts;
    GST_BUFFER_DURATION(buf) = duration;
  }

  // 5. Align the first buffer of a segment to its start, keeping the last of those that
  // overlap it.
  if (s.align_first_buffer && st.buffer_count == 0 && is_time_segment(st.segment)) {
    GstBuffer *held = st.held_buffer.get();
    const bool later_than_held = held && GST_BUFFER_PTS(buf) > GST_BUFFER_PTS(held);
    if (!later_than_held) {
      if (GST_BUFFER_PTS_IS_VALID(buf)) {
        GstClockTime pts = GST_BUFFER_PTS(buf), duration = GST_BUFFER_DURATION(buf);
        if (!clip_to_segment(st.segment, &pts, &duration)) {
          GST_LOG_OBJECT(self, "dropping buffer outside the segment");
          return GST_FLOW_OK;
        }
        if (pts > st.segment.start) {
          if (GST_CLOCK_TIME_IS_VALID(duration)) duration += pts - st.segment.start;
          pts = st.segment.start;
        }
        GST_BUFFER_PTS(buf) = pts;
        GST_BUFFER_DURATION(buf) = duration;
      }
      if (!held || GST_BUFFER_PTS(held) == GST_BUFFER_PTS(buf)) {
        st.held_buffer = std::move(buffer);
        return GST_FLOW_OK;
      }
    }
    // The held buffer's flow result is deliberately ignored: the current buffer decides.
    if (st.held_buffer) {
      push_buffer(self, std::move(st.held_buffer));
      st.buffer_count++;
    }
  }

  // 6.
  st.buffer_count++;

  // 7-9. Pass limit and skipping, counted down under the lock so the application reads
  // the current values.
  enum class Verdict { kContinue, kDrop, kPushLast, kEos } verdict = Verdict::kContinue;
  GST_OBJECT_LOCK(self);
  Settings &live = st.settings;
  if (live.pass >= 1) {
    if (--live.pass == 0) {
      live.pass = kPassExhausted;
      verdict = Verdict::kPushLast;
    }
  } else if (live.pass == kPassExhausted) {
    verdict = Verdict::kEos;
  }
  if (verdict == Verdict::kContinue) {
    if (live.amount >= 1) {
      live.amount--;
      verdict = Verdict::kDrop;
    } else if (live.duration != GST_CLOCK_TIME_NONE) {
      const GstClockTime d = GST_BUFFER_DURATION(buf);
      live.duration = GST_CLOCK_TIME_IS_VALID(d) && live.duration > d ? live.duration - d
                                                                       : GST_CLOCK_TIME_NONE;
      verdict = Verdict::kDrop;
    }
  }
  GST_OBJECT_UNLOCK(self);
  switch (verdict) {
    case Verdict::kPushLast:
      GST_DEBUG_OBJECT(self, "pass limit reached, ending the stream");
      push_buffer(self, std::move(buffer));
      return GST_FLOW_EOS;
    case Verdict::kEos: return GST_FLOW_EOS;
    case Verdict::kDrop: return GST_FLOW_OK;
    case Verdict::kContinue: break;
  }

  // 10. Delay.
  if (s.delay != 0) {
    if (!shift_by_delay(&GST_BUFFER_PTS(buf), &GST_BUFFER_DURATION(buf), s.delay)) {
      GST_LOG_OBJECT(self, "dropping buffer that ends before zero after the delay");
      return GST_FLOW_OK;
    }
    if (GST_BUFFER_DTS_IS_VALID(buf)) {
      GstClockTime dts;
      GST_BUFFER_DTS(buf) = add_signed(GST_BUFFER_DTS(buf), s.delay, &dts) ? dts
                                                                            : GST_CLOCK_TIME_NONE;
    }
  }

  // 11. Force monotone timestamps.
  if (s.force_monotone && GST_BUFFER_PTS_IS_VALID(buf) && GST_BUFFER_DURATION_IS_VALID(buf)) {
    const GstClockTime pts = GST_BUFFER_PTS(buf);
    const GstClockTime end = pts + GST_BUFFER_DURATION(buf);
    if (pts < st.last_end_time) {
      if (end <= st.last_end_time) {
        GST_WARNING_OBJECT(self, "Buffer completely overlapped by previous buffer. Discarding");
        return GST_FLOW_OK;
      }
      GST_BUFFER_PTS(buf) = st.last_end_time;
      GST_BUFFER_DURATION(buf) = end - st.last_end_time;
    }
    st.last_end_time = end;
  }

  // 12.
  GstFlowReturn ret = push_buffer(self, std::move(buffer));
  if (ret == GST_FLOW_NOT_LINKED && !s.allow_not_linked) ret = GST_FLOW_OK;
  return ret;
}

static gboolean
handle_caps(GstBufferSkip *self, GstEvent *event)
{
  const Settings s = settings_snapshot(self);
  GstCaps *in_caps;
  gst_event_parse_caps(event, &in_caps);
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_caps_copy(in_caps));
  if (gst_caps_get_size(caps.get()) > 0) {
    GstStructure *st = gst_caps_get_structure(caps.get(), 0);
    if (s.par_override.num >= 1 && s.par_override.den >= 1)
      gst_structure_set(st, "pixel-aspect-ratio", GST_TYPE_FRACTION, s.par_override.num,
                        s.par_override.den, nullptr);
    if (s.framerate_override.num >= 0)
      gst_structure_set(st, "framerate", GST_TYPE_FRACTION, s.framerate_override.num,
                        s.framerate_override.den, nullptr);
    gint n, d;
    if (s.fix_pixel_aspect_ratio && gst_structure_get_fraction(st, "pixel-aspect-ratio", &n, &d)) {
      normalise_pixel_aspect_ratio(&n, &d);
      gst_structure_set(st, "pixel-aspect-ratio", GST_TYPE_FRACTION, n, d, nullptr);
    }
    if (s.remove_interlace_mode) gst_structure_remove_field(st, "interlace-mode");
  }
  GST_DEBUG_OBJECT(self, "pushing caps %" GST_PTR_FORMAT, caps.get());
  gst_event_unref(event);
  return gst_pad_push_event(self->srcpad, gst_event_new_caps(caps.get()));
}

static gboolean
push_segment(GstBufferSkip *self, const GstSegment &segment, gboolean dummy_event)
{
  gboolean ok = gst_pad_push_event(self->srcpad, gst_event_new_segment(&segment));
  if (dummy_event) {
    GstEvent *dummy = gst_event_new_custom(GST_EVENT_CUSTOM_DOWNSTREAM_STICKY,
                                           gst_structure_new_empty("dummy-event"));
    ok &= gst_pad_push_event(self->srcpad, dummy);
  }
  return ok;
}

static gboolean
handle_segment(GstBufferSkip *self, GstEvent *event)
{
  BufferSkipState &st = *self->state;
  const Settings s = settings_snapshot(self);
  const GstSegment *in;
  gst_event_parse_segment(event, &in);

  st.last_buffer.reset();
  const bool first = st.first_segment.format == GST_FORMAT_UNDEFINED;
  if (first) {
    gst_segment_copy_into(in, &st.first_segment);
    st.first_segment.stop = GST_CLOCK_TIME_NONE;
  }
  st.buffer_count = 0;
  gst_segment_copy_into(in, &st.segment);
  gst_event_unref(event);

  if (s.minimal_stream_time != GST_CLOCK_TIME_NONE && is_time_segment(st.segment)) {
    const guint64 stream_time =
        gst_segment_to_stream_time(&st.segment, GST_FORMAT_TIME, st.segment.start);
    if (GST_CLOCK_TIME_IS_VALID(stream_time) && s.minimal_stream_time > stream_time) {
      GST_DEBUG_OBJECT(self, "raising segment time by %" GST_TIME_FORMAT,
                       GST_TIME_ARGS(s.minimal_stream_time - stream_time));
      st.segment.time += s.minimal_stream_time - stream_time;
    }
  }
  if (s.reset_segment_stop) st.segment.stop = GST_CLOCK_TIME_NONE;

  if (s.keep_first_segment) {
    if (!first) {
      GST_DEBUG_OBJECT(self, "keeping the first segment, swallowing %" GST_SEGMENT_FORMAT, in);
      return TRUE;
    }
    return push_segment(self, st.first_segment, s.dummy_event_after_segment);
  }
  return push_segment(self, st.segment, s.dummy_event_after_segment);
}

static gboolean
handle_gap(GstBufferSkip *self, GstEvent *event, gint64 delay, gboolean keep_first_segment)
{
  BufferSkipState &st = *self->state;
  GstClockTime timestamp, duration;
  gst_event_parse_gap(event, &timestamp, &duration);
  gst_event_unref(event);

  if (!shift_by_delay(&timestamp, &duration, delay)) return TRUE;
  if (keep_first_segment && st.first_segment.format != GST_FORMAT_UNDEFINED &&
      st.segment.format != GST_FORMAT_UNDEFINED) {
    // A gap cannot start before zero; clamp what the shift would push below it.
    shift_into_first_segment(&timestamp, keep_segment_offset(st.segment, st.first_segment));
  }
  return gst_pad_push_event(self->srcpad, gst_event_new_gap(timestamp, duration));
}

static gboolean
gst_buffer_skip_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  GstBufferSkip *self = GST_BUFFER_SKIP(parent);
  BufferSkipState &st = *self->state;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_FLUSH_STOP:
      // last_end_time goes too: after a flushing seek, timestamps restart and must not be
      // measured against the old position.
      restart_stream(self);
      break;
    case GST_EVENT_CAPS: return handle_caps(self, event);
    case GST_EVENT_SEGMENT: return handle_segment(self, event);
    case GST_EVENT_EOS:
      if (st.held_buffer) push_buffer(self, std::move(st.held_buffer));
      break;
    case GST_EVENT_GAP: {
      const Settings s = settings_snapshot(self);
      if (s.delay != 0) return handle_gap(self, event, s.delay, s.keep_first_segment);
      break;
    }
    default: break;
  }
  return gst_pad_event_default(pad, parent, event);
}
