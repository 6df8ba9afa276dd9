// mpeg4timestampparser: repairs the timestamps of parsed MPEG-4 Part 2 (and DivX 4/5) video.
//
// Containers such as AVI attach one timestamp per frame in decode order. The element groups
// each reference frame with the B-frames that follow it and hands the group's timestamps out
// again: PTS in display order (B-frames first, the reference last) and DTS in decode order.
// Not-coded placeholder VOPs of packed bitstream are dropped, their timestamps moved onto the
// frame packed before them; up to 100 leading delta frames are dropped; missing durations are
// filled from the frame rate. Buffers keep their decode order.
//
//   gst-launch-1.0 filesrc location=in.avi ! avidemux ! mpeg4videoparse ! mpeg4timestampparser !
//       matroskamux ! filesink location=out.mkv
//
// Limits: reordering starts with the first VOL header; frames before it pass unchanged.
#include "transcoding-plugins/base-plugins/mpeg4-timestamp-parser.h"

#include <gst/base/gstbitreader.h>
#include <gst/codecparsers/gstmpeg4parser.h>

#include <algorithm>
#include <vector>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(mpeg4_timestamp_parser_debug);
#define GST_CAT_DEFAULT mpeg4_timestamp_parser_debug

namespace {

#define MPEG4_TIMESTAMP_PARSER_CAPS                                                            \
  "video/mpeg,mpegversion=(int)4,systemstream=(bool)false,parsed=(bool)true,width=(int)[0, " \
  "max],height=(int)[0, max]; video/x-divx,divxversion = (int) [ 4, 5 ],parsed=(bool)true"

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(MPEG4_TIMESTAMP_PARSER_CAPS));
GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(MPEG4_TIMESTAMP_PARSER_CAPS));

constexpr gint kMaxSkippedDeltaFrames = 100;
// A placeholder's timestamps move onto the frame packed before it only when that frame was
// stamped (almost) on top of its predecessor, as packers do.
constexpr guint64 kMaxPackedDelta = 9999999;

constexpr gint kVopTypeB = 2;

}  // namespace

struct Mpeg4TimestampParserState {
  // Survive clean-up: a flush must not turn reordering off.
  GstMpeg4VideoObjectLayer vol{};
  bool vol_seen = false;
  // ISO/IEC 14496-2 6.3.3: the bits needed for vop_time_increment_resolution - 1. The
  // library's vop_time_increment_bits counts one too many for powers of two.
  guint time_increment_bits = 0;
  gint32 fps_n = 0, fps_d = 0;

  gstref::Ref<GstBuffer> ref_frame;
  std::vector<gstref::Ref<GstBuffer>> b_frames;
  bool caps_seen = false;
  bool started = false;
  gint32 skipped_delta_frames = 0;
  gstref::Ref<GstBuffer> last_coded;
  gint64 last_coded_delta = -1;

  void clean_up() {
    ref_frame.reset();
    b_frames.clear();
    last_coded.reset();
    started = false;
    skipped_delta_frames = 0;
    caps_seen = false;
    last_coded_delta = -1;
  }

  // A new stream after READY may be a different file.
  void forget_stream() {
    clean_up();
    vol = {};
    vol_seen = false;
    time_increment_bits = 0;
    fps_n = fps_d = 0;
  }

  bool is_queued(GstBuffer *buffer) const {
    if (ref_frame.get() == buffer) return true;
    for (const auto &b : b_frames)
      if (b.get() == buffer) return true;
    return false;
  }
};

struct _Mpeg4TimestampParser {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gboolean silent;
  Mpeg4TimestampParserState *state;
};

G_DEFINE_TYPE(Mpeg4TimestampParser, mpeg4_timestamp_parser, GST_TYPE_ELEMENT)

gboolean
mpeg4_timestamp_parser_register(GstPlugin *plugin)
{
  return element_register(plugin, "mpeg4timestampparser", GST_RANK_NONE,
                          TYPE_MPEG4_TIMESTAMP_PARSER, &mpeg4_timestamp_parser_debug,
                          "mpeg4timestampparser", "Fixes PTS in MPEG4 video stream");
}

static void mpeg4_timestamp_parser_finalize(GObject *object);
static GstStateChangeReturn mpeg4_timestamp_parser_change_state(GstElement *element,
                                                                GstStateChange transition);
static gboolean mpeg4_timestamp_parser_sink_event(GstPad *pad, GstObject *parent,
                                                  GstEvent *event);
static GstFlowReturn mpeg4_timestamp_parser_chain(GstPad *pad, GstObject *parent,
                                                  GstBuffer *buffer);

static void
mpeg4_timestamp_parser_class_init(Mpeg4TimestampParserClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = mpeg4_timestamp_parser_finalize;
  element_class_install_silent_property(gobject_class, G_STRUCT_OFFSET(Mpeg4TimestampParser, silent));

  gst_element_class_set_metadata(element_class, "Mpeg4TimestampParser", "Codec/Video/Parser",
                                 "Fixes PTS in MP4 stream",
                                 "Transcoding team <transcoding@example.com>");
  element_class->change_state = GST_DEBUG_FUNCPTR(mpeg4_timestamp_parser_change_state);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
mpeg4_timestamp_parser_init(Mpeg4TimestampParser *self)
{
  self->state = new Mpeg4TimestampParserState();
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(mpeg4_timestamp_parser_chain);
  spec.sink_event = ELEMENT_FUNC(mpeg4_timestamp_parser_sink_event);
  spec.sink_flags = GST_PAD_FLAG_PROXY_CAPS;
  spec.src_flags = GST_PAD_FLAG_PROXY_CAPS;
  spec.pass_through = true;
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
}

static void
mpeg4_timestamp_parser_finalize(GObject *object)
{
  Mpeg4TimestampParser *self = MPEG4_TIMESTAMP_PARSER(object);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(mpeg4_timestamp_parser_parent_class)->finalize(object);
}

static GstStateChangeReturn
mpeg4_timestamp_parser_change_state(GstElement *element, GstStateChange transition)
{
  Mpeg4TimestampParser *self = MPEG4_TIMESTAMP_PARSER(element);
  switch (transition) {
    case GST_STATE_CHANGE_NULL_TO_READY:
    case GST_STATE_CHANGE_READY_TO_NULL: self->state->clean_up(); break;
    default: break;
  }
  const GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(mpeg4_timestamp_parser_parent_class)->change_state(element, transition);
  // After the pads are deactivated: a pipeline reused after READY starts a new stream that
  // needs its caps forwarded again.
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) self->state->forget_stream();
  return ret;
}

namespace {

// Calls `visit(packet)` for each start code packet of the buffer, in order.
template <typename Visit>
void
for_each_packet(const guint8 *data, gsize size, Visit visit)
{
  guint offset = 0;
  while (offset < size) {
    GstMpeg4Packet packet;
    const GstMpeg4ParseResult res = gst_mpeg4_parse(&packet, TRUE, nullptr, data, offset, size);
    if (res != GST_MPEG4_PARSER_OK && res != GST_MPEG4_PARSER_NO_PACKET_END) return;
    if (packet.size == 0) return;
    if (!visit(packet)) return;
    const guint64 next = static_cast<guint64>(packet.offset) + packet.size;
    if (next >= size) return;
    offset = static_cast<guint>(next);
  }
}

// Bytes of the packet that lie inside the buffer, start code value included.
gsize
packet_bytes(const GstMpeg4Packet &packet, gsize size)
{
  return std::min<gsize>(packet.size, size - packet.offset);
}

}  // namespace

// ISO/IEC 14496-2 6.2.5: vop_coded 0 marks a placeholder that repeats the previous frame.
static bool
mpeg4_timestamp_parser_is_vop_coded(Mpeg4TimestampParser *self, const guint8 *data, gsize size)
{
  Mpeg4TimestampParserState &st = *self->state;
  bool coded = true;
  for_each_packet(data, size, [&](const GstMpeg4Packet &packet) {
    if (packet.type != GST_MPEG4_VIDEO_OBJ_PLANE || st.time_increment_bits == 0) return true;
    // Placeholders are a handful of bytes; anything bigger carries a picture.
    if (size > 9) {
      coded = true;
      return true;
    }
    if (packet.size <= static_cast<gsize>(packet.offset) + 3) {
      coded = false;
      return true;
    }
    GstBitReader reader;
    gst_bit_reader_init(&reader, data + packet.offset + 1, packet_bytes(packet, size) - 1);
    guint8 bit = 0;
    gst_bit_reader_skip(&reader, 2);  // vop_coding_type
    while (gst_bit_reader_get_bits_uint8(&reader, &bit, 1) && bit) {
    }  // modulo_time_base
    if (!gst_bit_reader_get_bits_uint8(&reader, &bit, 1) || !bit) {
      GST_WARNING_OBJECT(self, "broken VOP header: marker bit before vop_time_increment");
      coded = true;
      return true;
    }
    gst_bit_reader_skip(&reader, st.time_increment_bits);
    if (!gst_bit_reader_get_bits_uint8(&reader, &bit, 1) || !bit) {
      GST_WARNING_OBJECT(self, "broken VOP header: marker bit after vop_time_increment");
      coded = true;
      return true;
    }
    guint8 vop_coded = 0;
    coded = gst_bit_reader_get_bits_uint8(&reader, &vop_coded, 1) && vop_coded;
    return true;
  });
  return coded;
}

// Frame type from the last VOP of the buffer; also picks up VOL headers on the way.
static gint
mpeg4_timestamp_parser_frame_type(Mpeg4TimestampParser *self, const guint8 *data, gsize size)
{
  Mpeg4TimestampParserState &st = *self->state;
  gint type = -1;
  for_each_packet(data, size, [&](const GstMpeg4Packet &packet) {
    if (packet.type >= GST_MPEG4_VIDEO_LAYER_FIRST && packet.type <= GST_MPEG4_VIDEO_LAYER_LAST) {
      GstMpeg4VideoObjectLayer vol;
      if (gst_mpeg4_parse_video_object_layer(&vol, nullptr, data + packet.offset,
                                             packet_bytes(packet, size)) == GST_MPEG4_PARSER_OK) {
        st.vol = vol;
        st.time_increment_bits =
            std::max(1u, g_bit_storage(vol.vop_time_increment_resolution - 1u));
        if (!st.vol_seen) GST_DEBUG_OBJECT(self, "first VOL header, reordering from now on");
        st.vol_seen = true;
      }
    } else if (packet.type == GST_MPEG4_VIDEO_OBJ_PLANE && packet.offset + 1 < size) {
      type = data[packet.offset + 1] >> 6;  // vop_coding_type
    }
    return true;
  });
  if (type < 0) {
    GST_WARNING_OBJECT(self, "Couldn't determine frame type");
    type = 0;
  }
  return type;
}

static void
mpeg4_timestamp_parser_fill_duration(Mpeg4TimestampParser *self, GstBuffer *buf)
{
  const Mpeg4TimestampParserState &st = *self->state;
  if (!GST_BUFFER_DURATION_IS_VALID(buf) && st.fps_n >= 1 && st.fps_d >= 1)
    GST_BUFFER_DURATION(buf) = gst_util_uint64_scale_int(GST_SECOND, st.fps_d, st.fps_n);
}

namespace {

// Moves the smallest valid timestamp of `list` (the first of equal ones) into `target`.
void
take_smallest(std::vector<GstClockTime> &list, GstClockTime *target)
{
  auto best = list.end();
  for (auto it = list.begin(); it != list.end(); ++it)
    if (GST_CLOCK_TIME_IS_VALID(*it) && (best == list.end() || *it < *best)) best = it;
  if (best == list.end()) return;
  *target = *best;
  list.erase(best);
}

// A packed stream that ends without its last placeholder leaves the frame packed before it
// on the timestamp of its neighbour: the missing slot is the one after the last.
void
make_unique(std::vector<GstClockTime> &list, GstClockTime step)
{
  std::vector<GstClockTime *> valid;
  for (auto &t : list)
    if (GST_CLOCK_TIME_IS_VALID(t)) valid.push_back(&t);
  std::stable_sort(valid.begin(), valid.end(), [](auto *a, auto *b) { return *a < *b; });
  for (size_t i = 1; i < valid.size(); ++i)
    if (*valid[i] <= *valid[i - 1] && *valid[i - 1] < GST_CLOCK_TIME_NONE - step)
      *valid[i] = *valid[i - 1] + step;
}

}  // namespace

// Hands the group's timestamps out again: PTS in display order, DTS in decode order.
static GstFlowReturn
mpeg4_timestamp_parser_flush(Mpeg4TimestampParser *self, bool at_end)
{
  Mpeg4TimestampParserState &st = *self->state;
  std::vector<GstClockTime> pts_list, dts_list;
  for (auto &b : st.b_frames) pts_list.push_back(GST_BUFFER_PTS(b.get()));
  if (st.ref_frame) pts_list.push_back(GST_BUFFER_PTS(st.ref_frame.get()));
  GstClockTime step = st.fps_n >= 1 && st.fps_d >= 1
                          ? gst_util_uint64_scale_int(GST_SECOND, st.fps_d, st.fps_n)
                          : GST_CLOCK_TIME_NONE;
  if (!GST_CLOCK_TIME_IS_VALID(step) && st.ref_frame)
    step = GST_BUFFER_DURATION(st.ref_frame.get());
  if (at_end && GST_CLOCK_TIME_IS_VALID(step) && step > 0) make_unique(pts_list, step);
  dts_list = pts_list;

  for (auto &b : st.b_frames) {
    take_smallest(pts_list, &GST_BUFFER_PTS(b.get()));
    mpeg4_timestamp_parser_fill_duration(self, b.get());
  }
  GstFlowReturn ret = GST_FLOW_OK;
  if (st.ref_frame) {
    GstBuffer *ref = st.ref_frame.get();
    take_smallest(pts_list, &GST_BUFFER_PTS(ref));
    mpeg4_timestamp_parser_fill_duration(self, ref);
    take_smallest(dts_list, &GST_BUFFER_DTS(ref));
    ret = gst_pad_push(self->srcpad, st.ref_frame.release());
  }
  std::vector<gstref::Ref<GstBuffer>> queued = std::move(st.b_frames);
  st.b_frames.clear();
  for (auto &b : queued) {
    take_smallest(dts_list, &GST_BUFFER_DTS(b.get()));
    ret = gst_pad_push(self->srcpad, b.release());
  }
  return ret;
}

static GstFlowReturn
mpeg4_timestamp_parser_chain(GstPad *, GstObject *parent, GstBuffer *in)
{
  Mpeg4TimestampParser *self = MPEG4_TIMESTAMP_PARSER(parent);
  Mpeg4TimestampParserState &st = *self->state;

  // A decoder cannot start on a delta frame; drop what precedes the first key frame, within
  // reason.
  if (!st.started && GST_BUFFER_FLAG_IS_SET(in, GST_BUFFER_FLAG_DELTA_UNIT) &&
      st.skipped_delta_frames < kMaxSkippedDeltaFrames) {
    st.skipped_delta_frames++;
    GST_DEBUG_OBJECT(self, "dropping leading delta frame %d", st.skipped_delta_frames);
    gst_buffer_unref(in);
    return GST_FLOW_OK;
  }
  st.started = true;

  gstref::Ref<GstBuffer> buffer = gstref::adopt(gst_buffer_make_writable(in));
  GstBuffer *buf = buffer.get();
  if (!GST_BUFFER_PTS_IS_VALID(buf) && GST_BUFFER_DTS_IS_VALID(buf))
    GST_BUFFER_PTS(buf) = GST_BUFFER_DTS(buf);

  bool coded;
  {
    gstref::BufferMap map(buf, GST_MAP_READ);
    coded = !map.ok() || map.size() == 0 ||
            mpeg4_timestamp_parser_is_vop_coded(self, map.data(), map.size());
  }

  if (!coded) {
    GstBuffer *last = st.last_coded.get();
    // Packed bitstream: the placeholder carries the timestamps of the frame packed before it.
    if (GST_BUFFER_PTS_IS_VALID(buf) && last && st.is_queued(last) &&
        static_cast<guint64>(st.last_coded_delta) <= kMaxPackedDelta) {
      GST_LOG_OBJECT(self, "placeholder VOP, moving PTS %" GST_TIME_FORMAT " onto the packed frame",
                     GST_TIME_ARGS(GST_BUFFER_PTS(buf)));
      GST_BUFFER_PTS(last) = GST_BUFFER_PTS(buf);
      GST_BUFFER_DTS(last) = GST_BUFFER_DTS(buf);
      GST_BUFFER_DURATION(last) = GST_BUFFER_DURATION(buf);
    } else {
      GST_LOG_OBJECT(self, "dropping placeholder VOP");
    }
    return GST_FLOW_OK;
  }

  st.last_coded_delta = -1;
  if (!GST_BUFFER_PTS_IS_VALID(buf))
    st.last_coded_delta = 0;
  else if (st.last_coded && GST_BUFFER_PTS_IS_VALID(st.last_coded.get()))
    st.last_coded_delta =
        static_cast<gint64>(GST_BUFFER_PTS(buf) - GST_BUFFER_PTS(st.last_coded.get()));
  st.last_coded = gstref::retain(buf);

  gint type;
  {
    gstref::BufferMap map(buf, GST_MAP_READ);
    type = mpeg4_timestamp_parser_frame_type(self, map.data(), map.size());
  }

  if (!st.vol_seen) return gst_pad_push(self->srcpad, buffer.release());
  if (type == kVopTypeB && !st.ref_frame) return gst_pad_push(self->srcpad, buffer.release());
  if (!st.ref_frame) {
    st.ref_frame = std::move(buffer);
    return GST_FLOW_OK;
  }
  if (type != kVopTypeB) {
    GstFlowReturn ret = mpeg4_timestamp_parser_flush(self, false);
    st.ref_frame = std::move(buffer);
    return ret;
  }
  st.b_frames.push_back(std::move(buffer));
  return GST_FLOW_OK;
}

static gboolean
mpeg4_timestamp_parser_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  Mpeg4TimestampParser *self = MPEG4_TIMESTAMP_PARSER(parent);
  Mpeg4TimestampParserState &st = *self->state;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_FLUSH_STOP: st.clean_up(); break;
    case GST_EVENT_CAPS: {
      GstCaps *caps;
      gst_event_parse_caps(event, &caps);
      if (gst_caps_get_size(caps) > 0) {
        gint n, d;
        if (gst_structure_get_fraction(gst_caps_get_structure(caps, 0), "framerate", &n, &d)) {
          st.fps_n = n;
          st.fps_d = d;
        }
      }
      // Muxers refuse caps changes mid-stream; the first caps describe the stream.
      if (st.caps_seen) {
        GST_DEBUG_OBJECT(self, "not forwarding further caps %" GST_PTR_FORMAT, caps);
        gst_event_unref(event);
        return TRUE;
      }
      st.caps_seen = true;
      break;
    }
    case GST_EVENT_SEGMENT: mpeg4_timestamp_parser_flush(self, false); break;
    case GST_EVENT_EOS: mpeg4_timestamp_parser_flush(self, true); break;
    default: break;
  }
  return gst_pad_event_default(pad, parent, event);
}
