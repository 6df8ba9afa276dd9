// mpegtimestampparser: rebuilds the timestamps of parsed MPEG-1/2 video.
//
// Upstream PTS of I and P pictures are kept; B and D pictures are stamped from the running
// sequence of picture ends; a reference picture without PTS waits until the next reference
// tells where it ends. DTS become a continuous sequence seeded and re-anchored from upstream
// DTS of reference pictures. Durations follow the frame rate and repeat_first_field, and 3:2
// pulldown (soft telecine) is announced as progressive at 4/5 of the coded rate. Buffers leave
// in decode order.
//
//   gst-launch-1.0 filesrc location=in.ts ! tsdemux ! mpegvideoparse ! mpegtimestampparser !
//       matroskamux ! filesink location=out.mkv
//
// Limits: pulldown is detected once per caps change, on the first ten pictures. In an
// elementary stream (no PTS at all) presentation times are derived from upstream's DTS.
#include "transcoding-plugins/base-plugins/mpeg-timestamp-parser.h"

#include <gst/codecparsers/gstmpegvideoparser.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(mpeg_timestamp_parser_debug);
#define GST_CAT_DEFAULT mpeg_timestamp_parser_debug

namespace {

#define MPEG_TIMESTAMP_PARSER_CAPS \
  "video/mpeg, mpegversion = (int) [1, 2], parsed=(boolean) true, systemstream = (boolean) false"

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(MPEG_TIMESTAMP_PARSER_CAPS));
GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(MPEG_TIMESTAMP_PARSER_CAPS));

// Marks carried from the chain function to the push stage, above GStreamer's own flags. They
// never leave the element.
constexpr guint kMarkSegmentPending = 1u << 24;
constexpr guint kMarkCapsPending = 1u << 25;
constexpr guint kMarkRepeatedField = 1u << 26;
constexpr guint kAllMarks = kMarkSegmentPending | kMarkCapsPending | kMarkRepeatedField;

// Pictures collected after a caps change before the pulldown analysis runs.
constexpr size_t kPulldownWindow = 10;

constexpr gint kPictureUnknown = -1;

bool
has_mark(GstBuffer *buffer, guint mark)
{
  return (GST_BUFFER_FLAGS(buffer) & mark) != 0;
}

void
set_mark(GstBuffer *buffer, guint mark, bool on)
{
  if (on)
    GST_BUFFER_FLAG_SET(buffer, mark);
  else
    GST_BUFFER_FLAG_UNSET(buffer, mark);
}

GstClockTime
end_of(GstClockTime time, GstClockTime duration)
{
  return GST_CLOCK_TIME_IS_VALID(time) && GST_CLOCK_TIME_IS_VALID(duration) ? time + duration
                                                                           : GST_CLOCK_TIME_NONE;
}

}  // namespace

struct MpegTimestampParserState {
  // Per stream: what the headers said.
  GstMpegVideoSequenceHdr sequence_header{};
  GstMpegVideoSequenceExt sequence_ext{};
  gint32 fps_n = 0, fps_d = 0;
  gint32 pulldown_fps_n = 0, pulldown_fps_d = 0;

  // Reference hold-back.
  gstref::Ref<GstBuffer> ref_frame;
  std::vector<gstref::Ref<GstBuffer>> b_frames;

  // Running timestamps.
  GstClockTime ref_end = GST_CLOCK_TIME_NONE;
  GstClockTime prev_ref_end = GST_CLOCK_TIME_NONE;
  GstClockTime b_end = GST_CLOCK_TIME_NONE;
  GstClockTime next_dts = GST_CLOCK_TIME_NONE;
  GstClockTime last_dts = GST_CLOCK_TIME_NONE;  // never let a B picture's DTS go back

  bool segment_pending = false;
  bool caps_pending = false;
  std::vector<gstref::Ref<GstBuffer>> pending_frames;

  void clear_running_timestamps() {
    ref_end = prev_ref_end = b_end = next_dts = last_dts = GST_CLOCK_TIME_NONE;
  }

  void reset() {
    ref_frame.reset();
    b_frames.clear();
    pending_frames.clear();
    clear_running_timestamps();
    segment_pending = caps_pending = false;
    fps_n = fps_d = 0;
    pulldown_fps_n = pulldown_fps_d = 0;
  }
};

struct _MpegTimestampParser {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gboolean silent;
  MpegTimestampParserState *state;
};

G_DEFINE_TYPE(MpegTimestampParser, mpeg_timestamp_parser, GST_TYPE_ELEMENT)

gboolean
mpeg_timestamp_parser_register(GstPlugin *plugin)
{
  return element_register(plugin, "mpegtimestampparser", GST_RANK_NONE,
                          TYPE_MPEG_TIMESTAMP_PARSER, &mpeg_timestamp_parser_debug,
                          "mpegtimestampparser", "Corrects timestamps for MPEG stream");
}

static void mpeg_timestamp_parser_finalize(GObject *object);
static GstStateChangeReturn mpeg_timestamp_parser_change_state(GstElement *element,
                                                               GstStateChange transition);
static gboolean mpeg_timestamp_parser_sink_event(GstPad *pad, GstObject *parent,
                                                 GstEvent *event);
static GstFlowReturn mpeg_timestamp_parser_chain(GstPad *pad, GstObject *parent,
                                                 GstBuffer *buffer);

static void
mpeg_timestamp_parser_class_init(MpegTimestampParserClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = mpeg_timestamp_parser_finalize;
  element_class_install_silent_property(gobject_class, G_STRUCT_OFFSET(MpegTimestampParser, silent));

  gst_element_class_set_metadata(element_class, "MpegTimestampParser", "Codec/Parser/Video",
                                 "Corrects timestamps for MPEG stream",
                                 "Transcoding team <transcoding@example.com>");
  element_class->change_state = GST_DEBUG_FUNCPTR(mpeg_timestamp_parser_change_state);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
mpeg_timestamp_parser_init(MpegTimestampParser *self)
{
  self->state = new MpegTimestampParserState();
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(mpeg_timestamp_parser_chain);
  spec.sink_event = ELEMENT_FUNC(mpeg_timestamp_parser_sink_event);
  spec.sink_flags = GST_PAD_FLAG_PROXY_CAPS;
  spec.src_flags = GST_PAD_FLAG_PROXY_CAPS;
  spec.pass_through = true;
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
}

static void
mpeg_timestamp_parser_finalize(GObject *object)
{
  MpegTimestampParser *self = MPEG_TIMESTAMP_PARSER(object);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(mpeg_timestamp_parser_parent_class)->finalize(object);
}

static GstStateChangeReturn
mpeg_timestamp_parser_change_state(GstElement *element, GstStateChange transition)
{
  MpegTimestampParser *self = MPEG_TIMESTAMP_PARSER(element);
  switch (transition) {
    case GST_STATE_CHANGE_NULL_TO_READY:
    case GST_STATE_CHANGE_READY_TO_NULL: self->state->reset(); break;
    default: break;
  }
  return GST_ELEMENT_CLASS(mpeg_timestamp_parser_parent_class)->change_state(element, transition);
}

namespace {

struct PictureInfo {
  gint type = kPictureUnknown;
  // Displayed fields per two coded fields, doubled: 1 keeps the frame period, 2 is 3/2, 3 is
  // 2x, 5 is 3x (ISO/IEC 13818-2 6.3.10, repeat_first_field).
  gint field_factor = 1;
  bool repeated_field = false;
};

// Walks the start codes of one picture. Updates the stored sequence header, extension and
// frame rate as they come by.
PictureInfo
parse_picture(MpegTimestampParserState &st, const guint8 *data, gsize size)
{
  PictureInfo info;
  GstMpegVideoPacket packet;
  guint offset = 0;
  while (offset < size && gst_mpeg_video_parse(&packet, data, size, offset)) {
    // The last packet runs to the end of the buffer; the library leaves its size unknown.
    const bool last = packet.size <= 0;
    if (last) packet.size = static_cast<gint>(size - packet.offset);
    switch (packet.type) {
      case GST_MPEG_VIDEO_PACKET_PICTURE: {
        GstMpegVideoPictureHdr header;
        if (gst_mpeg_video_packet_parse_picture_header(&packet, &header)) {
          // A second picture in one buffer is not ours to describe.
          if (info.type != kPictureUnknown) return info;
          info.type = header.pic_type;
        }
        break;
      }
      case GST_MPEG_VIDEO_PACKET_SEQUENCE: {
        GstMpegVideoSequenceHdr header;
        if (gst_mpeg_video_packet_parse_sequence_header(&packet, &header)) {
          st.sequence_header = header;
          if (st.fps_n == 0 || st.fps_d == 0) {
            st.fps_n = header.fps_n;
            st.fps_d = header.fps_d;
          }
        }
        break;
      }
      case GST_MPEG_VIDEO_PACKET_EXTENSION: {
        GstMpegVideoSequenceExt ext;
        if (gst_mpeg_video_packet_parse_sequence_extension(&packet, &ext)) {
          st.sequence_ext = ext;
          // ISO/IEC 13818-2 6.3.3: frame_rate_extension_n/d scale the header's rate.
          st.fps_n = (ext.fps_n_ext + 1) * st.sequence_header.fps_n;
          st.fps_d = (ext.fps_d_ext + 1) * st.sequence_header.fps_d;
        }
        GstMpegVideoPictureExt pic_ext;
        if (gst_mpeg_video_packet_parse_picture_extension(&packet, &pic_ext) &&
            pic_ext.repeat_first_field) {
          if (st.sequence_ext.progressive)
            info.field_factor = pic_ext.top_field_first ? 5 : 3;
          else if (pic_ext.progressive_frame)
            info.field_factor = 2;
          if (pic_ext.progressive_frame) info.repeated_field = true;
        }
        break;
      }
      default: break;
    }
    if (last) break;
    offset = packet.offset + packet.size;
  }
  return info;
}

}  // namespace

// Output of one buffer, re-sending caps and the held segment where its marks ask for them.
static GstFlowReturn
mpeg_timestamp_parser_output(MpegTimestampParser *self, gstref::Ref<GstBuffer> buffer)
{
  MpegTimestampParserState &st = *self->state;
  GstBuffer *buf = buffer.get();
  if (has_mark(buf, kMarkCapsPending)) {
    gstref::Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(self->sinkpad));
    if (caps && !gst_caps_is_empty(caps.get())) {
      caps.reset(gst_caps_make_writable(caps.release()));
      GstStructure *s = gst_caps_get_structure(caps.get(), 0);
      if (st.pulldown_fps_n != 0) {
        gst_structure_set(s, "framerate", GST_TYPE_FRACTION, st.pulldown_fps_n,
                          st.pulldown_fps_d, "interlace-mode", G_TYPE_STRING, "progressive",
                          nullptr);
      } else if (st.fps_n > 0 && st.fps_d > 0) {
        gst_structure_set(s, "framerate", GST_TYPE_FRACTION, st.fps_n, st.fps_d, nullptr);
      }
      // Without a sequence header the rate is unknown: upstream's framerate (if any) stays.
      GST_DEBUG_OBJECT(self, "pushing caps %" GST_PTR_FORMAT, caps.get());
      gst_pad_push_event(self->srcpad, gst_event_new_caps(caps.get()));
    }
  }
  if (has_mark(buf, kMarkSegmentPending)) {
    GstEvent *segment = gst_pad_get_sticky_event(self->sinkpad, GST_EVENT_SEGMENT, 0);
    if (segment) gst_pad_push_event(self->srcpad, segment);
  }
  GST_BUFFER_FLAG_UNSET(buf, kAllMarks);
  GST_LOG_OBJECT(self,
                 "pushing PTS %" GST_TIME_FORMAT " DTS %" GST_TIME_FORMAT
                 " duration %" GST_TIME_FORMAT,
                 GST_TIME_ARGS(GST_BUFFER_PTS(buf)), GST_TIME_ARGS(GST_BUFFER_DTS(buf)),
                 GST_TIME_ARGS(GST_BUFFER_DURATION(buf)));
  return gst_pad_push(self->srcpad, buffer.release());
}

// Pulldown analysis over the collected pictures, then their output in arrival order.
static GstFlowReturn
mpeg_timestamp_parser_output_pending(MpegTimestampParser *self)
{
  MpegTimestampParserState &st = *self->state;
  if (st.pending_frames.empty()) return GST_FLOW_OK;

  st.pulldown_fps_n = st.pulldown_fps_d = 0;
  std::vector<GstBuffer *> by_pts;
  for (auto &b : st.pending_frames) by_pts.push_back(b.get());
  std::stable_sort(by_pts.begin(), by_pts.end(), [](GstBuffer *a, GstBuffer *b) {
    return GST_BUFFER_PTS(a) < GST_BUFFER_PTS(b);
  });
  std::string cadence;
  for (GstBuffer *b : by_pts) cadence += has_mark(b, kMarkRepeatedField) ? '3' : '2';
  // Soft telecine: film frames alternate between two and three displayed fields.
  if (cadence.find("23322332") != std::string::npos ||
      cadence.find("23232323") != std::string::npos) {
    st.pulldown_fps_n = st.fps_n * 24 / 30;
    st.pulldown_fps_d = st.fps_d;
    GST_INFO_OBJECT(self, "3:2 pulldown detected (%s), announcing %d/%d progressive",
                    cadence.c_str(), st.pulldown_fps_n, st.pulldown_fps_d);
  }

  std::vector<gstref::Ref<GstBuffer>> frames = std::move(st.pending_frames);
  st.pending_frames.clear();
  GstFlowReturn ret = GST_FLOW_OK;
  for (auto &frame : frames) ret = mpeg_timestamp_parser_output(self, std::move(frame));
  return ret;
}

// Decides between pulldown collection and direct output.
static GstFlowReturn
mpeg_timestamp_parser_push(MpegTimestampParser *self, gstref::Ref<GstBuffer> buffer)
{
  MpegTimestampParserState &st = *self->state;
  if (has_mark(buffer.get(), kMarkCapsPending)) {
    GstFlowReturn ret = mpeg_timestamp_parser_output_pending(self);
    st.pending_frames.push_back(std::move(buffer));
    return ret;
  }
  if (st.pending_frames.empty()) return mpeg_timestamp_parser_output(self, std::move(buffer));
  st.pending_frames.push_back(std::move(buffer));
  if (st.pending_frames.size() >= kPulldownWindow)
    return mpeg_timestamp_parser_output_pending(self);
  return GST_FLOW_OK;
}

// Pushes the held reference picture and the B/D pictures queued behind it. `next_ref_dts` is
// the upstream DTS of the reference picture that ends the hold, if any.
static GstFlowReturn
mpeg_timestamp_parser_flush(MpegTimestampParser *self,
                            GstClockTime next_ref_dts = GST_CLOCK_TIME_NONE)
{
  MpegTimestampParserState &st = *self->state;
  GstFlowReturn ret = GST_FLOW_OK;
  if (st.ref_frame) {
    GstBuffer *ref = st.ref_frame.get();
    GstClockTime pts = GST_CLOCK_TIME_IS_VALID(st.b_end) ? st.b_end : st.prev_ref_end;
    // Nothing stamped yet (an elementary stream carries no PTS at all): a reference picture
    // is displayed when the next one is decoded (ISO/IEC 13818-2 6.1.1.11).
    if (!GST_CLOCK_TIME_IS_VALID(pts)) pts = next_ref_dts;
    GST_BUFFER_PTS(ref) = pts;
    st.ref_end = end_of(GST_BUFFER_PTS(ref), GST_BUFFER_DURATION(ref));
    ret = mpeg_timestamp_parser_push(self, std::move(st.ref_frame));
  }
  std::vector<gstref::Ref<GstBuffer>> queued = std::move(st.b_frames);
  st.b_frames.clear();
  for (auto &b : queued) ret = mpeg_timestamp_parser_push(self, std::move(b));
  st.b_end = GST_CLOCK_TIME_NONE;
  st.ref_frame.reset();
  return ret;
}

static void
mpeg_timestamp_parser_stamp(MpegTimestampParser *self, GstBuffer *buf, gint type)
{
  MpegTimestampParserState &st = *self->state;
  if (GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DISCONT)) st.clear_running_timestamps();

  const bool reference =
      type == GST_MPEG_VIDEO_PICTURE_TYPE_I || type == GST_MPEG_VIDEO_PICTURE_TYPE_P;
  if (reference) {
    st.prev_ref_end = st.ref_end;
    st.ref_end = end_of(GST_BUFFER_PTS(buf), GST_BUFFER_DURATION(buf));
  } else {
    GstClockTime pts = st.b_end;
    if (!GST_CLOCK_TIME_IS_VALID(pts)) pts = st.prev_ref_end;
    if (!GST_CLOCK_TIME_IS_VALID(pts)) pts = st.ref_end;
    GST_BUFFER_PTS(buf) = pts;
    st.b_end = end_of(pts, GST_BUFFER_DURATION(buf));
  }

  // The decode sequence starts from upstream's DTS and follows a reference picture's upstream
  // DTS again, so that a seed lacking the reorder delay cannot drift from upstream.
  GstClockTime dts = st.next_dts;
  if (GST_BUFFER_DTS_IS_VALID(buf) && (!GST_CLOCK_TIME_IS_VALID(dts) || reference))
    dts = GST_BUFFER_DTS(buf);
  // A B picture is presented as it is decoded (ISO/IEC 13818-1 2.7.5): with repeated fields
  // the decode-order sum of durations can run past its PTS by a field.
  const GstClockTime pts = GST_BUFFER_PTS(buf);
  if (type == GST_MPEG_VIDEO_PICTURE_TYPE_B && GST_CLOCK_TIME_IS_VALID(pts) &&
      GST_CLOCK_TIME_IS_VALID(dts) && dts > pts) {
    dts = GST_CLOCK_TIME_IS_VALID(st.last_dts) ? std::max(pts, st.last_dts) : pts;
  }
  GST_BUFFER_DTS(buf) = dts;
  if (GST_CLOCK_TIME_IS_VALID(dts)) st.last_dts = dts;
  st.next_dts = end_of(dts, GST_BUFFER_DURATION(buf));
}

static GstFlowReturn
mpeg_timestamp_parser_chain(GstPad *, GstObject *parent, GstBuffer *in)
{
  MpegTimestampParser *self = MPEG_TIMESTAMP_PARSER(parent);
  MpegTimestampParserState &st = *self->state;
  gstref::Ref<GstBuffer> buffer = gstref::adopt(gst_buffer_make_writable(in));
  GstBuffer *buf = buffer.get();

  set_mark(buf, kMarkSegmentPending, st.segment_pending);
  st.segment_pending = false;
  set_mark(buf, kMarkCapsPending, st.caps_pending);
  st.caps_pending = false;
  set_mark(buf, kMarkRepeatedField, false);

  PictureInfo info;
  {
    gstref::BufferMap map(buf, GST_MAP_READ);
    if (map.ok() && map.size() > 0) info = parse_picture(st, map.data(), map.size());
  }
  set_mark(buf, kMarkRepeatedField, info.repeated_field);

  GstClockTime duration = GST_BUFFER_DURATION(buf);
  if (st.fps_n != 0 && st.fps_d != 0)
    duration = static_cast<GstClockTime>(static_cast<gint64>(st.fps_d) * GST_SECOND / st.fps_n);
  if (GST_CLOCK_TIME_IS_VALID(duration)) duration = duration * (info.field_factor + 1) / 2;
  GST_BUFFER_DURATION(buf) = duration;

  GstFlowReturn discont_ret = GST_FLOW_OK;
  if (GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DISCONT)) {
    discont_ret = mpeg_timestamp_parser_flush(self);
    st.clear_running_timestamps();
  }

  GstFlowReturn ret;
  switch (info.type) {
    case GST_MPEG_VIDEO_PICTURE_TYPE_B:
    case GST_MPEG_VIDEO_PICTURE_TYPE_D:
      // D pictures (MPEG-1 DC-only) are not stamped but keep the arrival order.
      if (info.type == GST_MPEG_VIDEO_PICTURE_TYPE_B)
        mpeg_timestamp_parser_stamp(self, buf, info.type);
      if (st.ref_frame) {
        st.b_frames.push_back(std::move(buffer));
        ret = GST_FLOW_OK;
      } else {
        ret = mpeg_timestamp_parser_push(self, std::move(buffer));
      }
      break;
    default: {
      ret = mpeg_timestamp_parser_flush(self, GST_BUFFER_DTS(buf));
      const bool had_pts = GST_BUFFER_PTS_IS_VALID(buf);
      mpeg_timestamp_parser_stamp(self, buf, info.type);
      if (had_pts) {
        GstFlowReturn push_ret = mpeg_timestamp_parser_push(self, std::move(buffer));
        ret = push_ret;
      } else {
        st.ref_frame = std::move(buffer);
      }
      break;
    }
  }
  return ret == GST_FLOW_OK ? discont_ret : ret;
}

static gboolean
mpeg_timestamp_parser_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  MpegTimestampParser *self = MPEG_TIMESTAMP_PARSER(parent);
  MpegTimestampParserState &st = *self->state;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_SEGMENT:
      // Re-sent before the next buffer, behind the pictures still held for the old one.
      st.segment_pending = true;
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_CAPS:
      // Re-sent before the next buffer with the frame rate from the sequence header.
      st.caps_pending = true;
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_EOS:
      mpeg_timestamp_parser_flush(self);
      mpeg_timestamp_parser_output_pending(self);
      break;
    case GST_EVENT_FLUSH_STOP: st.reset(); break;
    default: break;
  }
  return gst_pad_event_default(pad, parent, event);
}
