// audiotimestampcorrector: turns jittery audio timestamps into a gap-free sequence.
//
// Every buffer is stamped with the end of the previous one. The element watches the mean
// difference between its sequence and the upstream timestamps over the last 128 buffers and,
// when it exceeds 40 ms, moves the sequence by that mean so that real drift or jumps are
// followed instead of accumulating.
//
//   gst-launch-1.0 filesrc location=in.ts ! tsdemux ! aacparse ! audiotimestampcorrector !
//       mp4mux ! filesink location=out.mp4
//
// Limits: the sequence restarts from the upstream PTS at every SEGMENT event, after a buffer
// without duration, and for the very first buffer (also when no SEGMENT came before it).
#include "transcoding-plugins/base-plugins/audio-timestamp-corrector.h"

#include <array>
#include <cstdint>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(audio_timestamp_corrector_debug);
#define GST_CAT_DEFAULT audio_timestamp_corrector_debug

namespace {

constexpr int kRingSize = 128;
// Means up to exactly 40 ms are jitter; beyond that the sequence follows upstream.
constexpr gint64 kResyncThreshold = 40000001;

GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

}  // namespace

struct AudioTimestampCorrectorState {
  // Per segment: the sequence and the ring of differences to upstream.
  GstClockTime expected_ts = GST_CLOCK_TIME_NONE;
  std::array<gint64, kRingSize> diffs{};
  int diff_count = 0;
  int diff_index = 0;
  gint64 ts_offset = 0;

  void reset() {
    expected_ts = GST_CLOCK_TIME_NONE;
    diff_count = 0;
    diff_index = 0;
    ts_offset = 0;
  }
};

struct _AudioTimestampCorrector {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gboolean silent;  // object lock
  AudioTimestampCorrectorState *state;
};

G_DEFINE_TYPE(AudioTimestampCorrector, audio_timestamp_corrector, GST_TYPE_ELEMENT)

gboolean
audio_timestamp_corrector_register(GstPlugin *plugin)
{
  return element_register(plugin, "audiotimestampcorrector", GST_RANK_NONE,
                          AUDIO_TYPE_TIMESTAMP_CORRECTOR, &audio_timestamp_corrector_debug,
                          "audiotimestampcorrector", "Corrects jumpy audio timestamps");
}

static void audio_timestamp_corrector_finalize(GObject *object);
static gboolean audio_timestamp_corrector_sink_event(GstPad *pad, GstObject *parent,
                                                     GstEvent *event);
static GstFlowReturn audio_timestamp_corrector_chain(GstPad *pad, GstObject *parent,
                                                     GstBuffer *buffer);

static void
audio_timestamp_corrector_class_init(AudioTimestampCorrectorClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = audio_timestamp_corrector_finalize;

  element_class_install_silent_property(gobject_class, G_STRUCT_OFFSET(AudioTimestampCorrector, silent));

  gst_element_class_set_metadata(element_class, "AudioTimestampCorrector", "Parser",
                                 "Corrects jumpy audio timestamps",
                                 "Transcoding team <transcoding@example.com>");
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
audio_timestamp_corrector_init(AudioTimestampCorrector *self)
{
  self->state = new AudioTimestampCorrectorState();
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(audio_timestamp_corrector_chain);
  spec.sink_event = ELEMENT_FUNC(audio_timestamp_corrector_sink_event);
  spec.sink_flags = GST_PAD_FLAG_PROXY_CAPS;
  spec.src_flags = GST_PAD_FLAG_PROXY_CAPS;
  spec.pass_through = true;
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
}

static void
audio_timestamp_corrector_finalize(GObject *object)
{
  AudioTimestampCorrector *self = AUDIO_TIMESTAMP_CORRECTOR(object);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(audio_timestamp_corrector_parent_class)->finalize(object);
}

namespace {

// time + offset, clamped to the valid clock range.
GstClockTime
add_clamped(GstClockTime time, gint64 offset)
{
  if (offset >= 0) {
    const guint64 max = GST_CLOCK_TIME_NONE - 1;
    return time > max - static_cast<guint64>(offset) ? max : time + offset;
  }
  const guint64 magnitude = 0ull - static_cast<guint64>(offset);
  return magnitude > time ? 0 : time - magnitude;
}

// Difference of two valid clock times as a signed value (wraps for differences beyond
// 292 years, which no stream reaches).
gint64
signed_diff(GstClockTime a, GstClockTime b)
{
  return static_cast<gint64>(a - b);
}

// The sequence moved toward upstream by the mean difference (expected - upstream).
GstClockTime
move_sequence(GstClockTime expected, gint64 mean)
{
  if (mean > 0) return static_cast<guint64>(mean) >= expected ? 0 : expected - mean;
  const guint64 forward = 0ull - static_cast<guint64>(mean);
  const guint64 max = GST_CLOCK_TIME_NONE - 1;
  return expected > max - forward ? max : expected + forward;
}

gint64
ring_mean(const std::array<gint64, kRingSize> &diffs)
{
  // 128 extreme differences would overflow a 64-bit sum.
  __int128 sum = 0;
  for (gint64 d : diffs) sum += d;
  return static_cast<gint64>(sum / kRingSize);
}

}  // namespace

static void
log_resync(AudioTimestampCorrector *self, gint64 mean, GstClockTime pts)
{
  GstClockTime stream_time = GST_CLOCK_TIME_NONE;
  gstref::Ref<GstEvent> event =
      gstref::adopt(gst_pad_get_sticky_event(self->srcpad, GST_EVENT_SEGMENT, 0));
  if (event) {
    const GstSegment *segment;
    gst_event_parse_segment(event.get(), &segment);
    if (segment->format == GST_FORMAT_TIME)
      stream_time = gst_segment_to_stream_time(segment, GST_FORMAT_TIME, pts);
  }
  GST_WARNING_OBJECT(self, "Resyncing audio timestamps by %fs, stream time: %" GST_TIME_FORMAT,
                     -static_cast<double>(mean) / 1e9, GST_TIME_ARGS(stream_time));
}

static GstFlowReturn
audio_timestamp_corrector_chain(GstPad *, GstObject *parent, GstBuffer *in)
{
  AudioTimestampCorrector *self = AUDIO_TIMESTAMP_CORRECTOR(parent);
  AudioTimestampCorrectorState &st = *self->state;
  const GstClockTime pts = GST_BUFFER_PTS(in);
  const GstClockTime dur = GST_BUFFER_DURATION(in);

  if (!GST_CLOCK_TIME_IS_VALID(st.expected_ts)) {
    // Start (or restart) the sequence from upstream.
    st.expected_ts = GST_CLOCK_TIME_IS_VALID(pts) && GST_CLOCK_TIME_IS_VALID(dur)
                         ? add_clamped(pts, static_cast<gint64>(dur))
                         : GST_CLOCK_TIME_NONE;
    if (GST_CLOCK_TIME_IS_VALID(pts)) st.ts_offset = 0;
    return gst_pad_push(self->srcpad, in);
  }

  if (GST_CLOCK_TIME_IS_VALID(pts)) {
    if (st.diff_index == kRingSize) st.diff_index = 0;
    st.diffs[st.diff_index++] = signed_diff(st.expected_ts, pts);
    if (st.diff_index > st.diff_count) st.diff_count = st.diff_index;

    if (st.diff_count == kRingSize) {
      const gint64 mean = ring_mean(st.diffs);
      if (mean >= kResyncThreshold || mean <= -kResyncThreshold) {
        log_resync(self, mean, pts);
        st.expected_ts = move_sequence(st.expected_ts, mean);
        // The next check needs 128 differences measured against the moved sequence.
        st.diff_count = 0;
        st.diff_index = 0;
      }
    }
  }

  GstBuffer *buf = gst_buffer_make_writable(in);
  const GstClockTime out_pts = st.expected_ts;
  GST_BUFFER_PTS(buf) = out_pts;
  st.expected_ts = GST_CLOCK_TIME_IS_VALID(dur) ? add_clamped(out_pts, static_cast<gint64>(dur))
                                                : GST_CLOCK_TIME_NONE;
  if (GST_CLOCK_TIME_IS_VALID(pts)) st.ts_offset = signed_diff(out_pts, pts);
  GST_LOG_OBJECT(self, "PTS %" GST_TIME_FORMAT " -> %" GST_TIME_FORMAT, GST_TIME_ARGS(pts),
                 GST_TIME_ARGS(out_pts));
  return gst_pad_push(self->srcpad, buf);
}

static gboolean
audio_timestamp_corrector_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  AudioTimestampCorrector *self = AUDIO_TIMESTAMP_CORRECTOR(parent);
  AudioTimestampCorrectorState &st = *self->state;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_SEGMENT: st.reset(); break;
    case GST_EVENT_GAP: {
      GstClockTime timestamp, duration;
      gst_event_parse_gap(event, &timestamp, &duration);
      // A gap that the shift would move below zero keeps its own time.
      const bool shiftable =
          st.ts_offset > 0 ||
          (st.ts_offset < 0 && timestamp >= 0ull - static_cast<guint64>(st.ts_offset));
      if (shiftable && GST_CLOCK_TIME_IS_VALID(timestamp)) {
        GstEvent *shifted = gst_event_new_gap(add_clamped(timestamp, st.ts_offset), duration);
        gst_event_set_seqnum(shifted, gst_event_get_seqnum(event));
        gst_event_unref(event);
        return gst_pad_push_event(self->srcpad, shifted);
      }
      break;
    }
    default: break;
  }
  return gst_pad_event_default(pad, parent, event);
}
