// yv12converter: turns raw YV12 video into I420 in place.
//
// YV12 and I420 differ only in the order of the two chroma planes, so the element announces
// I420 and swaps the planes' contents in every buffer instead of converting into a new frame.
// Other raw formats pass unchanged.
//
//   gst-launch-1.0 videotestsrc ! video/x-raw,format=YV12 ! yv12converter ! x264enc !
//       fakesink
//
// Limits: caps that do not describe a valid YV12 frame pass unchanged, as do their buffers.
#include "transcoding-plugins/base-plugins/yv12-converter.h"

#include <gst/video/video.h>

#include <algorithm>
#include <cstring>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(yv12_converter_debug);
#define GST_CAT_DEFAULT yv12_converter_debug

namespace {

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));
GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));

}  // namespace

struct YV12ConverterState {
  // Per caps: whether buffers are YV12 to be swapped, and their layout.
  bool convert = false;
  GstVideoInfo info;
};

struct _YV12Converter {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gboolean silent;  // object lock
  YV12ConverterState *state;
};

G_DEFINE_TYPE(YV12Converter, yv12_converter, GST_TYPE_ELEMENT)

gboolean
yv12_converter_register(GstPlugin *plugin)
{
  return element_register(plugin, "yv12converter", GST_RANK_NONE, YV12_TYPE_CONVERTER,
                          &yv12_converter_debug, "yv12converter", "Converts YV12 to I420");
}

static void yv12_converter_finalize(GObject *object);
static gboolean yv12_converter_sink_event(GstPad *pad, GstObject *parent, GstEvent *event);
static GstFlowReturn yv12_converter_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer);

static void
yv12_converter_class_init(YV12ConverterClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->finalize = yv12_converter_finalize;

  element_class_install_silent_property(gobject_class, G_STRUCT_OFFSET(YV12Converter, silent));

  gst_element_class_set_metadata(element_class, "YV12Converter", "Converter",
                                 "Converts YV12 to I420",
                                 "Transcoding team <transcoding@example.com>");
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
yv12_converter_init(YV12Converter *self)
{
  self->state = new YV12ConverterState();
  gst_video_info_init(&self->state->info);
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(yv12_converter_chain);
  spec.sink_event = ELEMENT_FUNC(yv12_converter_sink_event);
  spec.sink_flags = GST_PAD_FLAG_PROXY_ALLOCATION;
  spec.src_flags = GST_PAD_FLAG_PROXY_ALLOCATION;
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
}

static void
yv12_converter_finalize(GObject *object)
{
  YV12Converter *self = YV12_CONVERTER(object);
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(yv12_converter_parent_class)->finalize(object);
}

static gboolean
handle_caps(YV12Converter *self, GstEvent *event)
{
  YV12ConverterState &st = *self->state;
  GstCaps *caps;
  gst_event_parse_caps(event, &caps);
  // Any caps that are not YV12 end the conversion: swapping an NV12 or I420 frame would read
  // a missing plane or undo the chroma order.
  st.convert = false;
  const GstStructure *s = gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
  const char *format = s ? gst_structure_get_string(s, "format") : nullptr;
  if (!format || std::strcmp(format, "YV12") != 0)
    return gst_pad_push_event(self->srcpad, event);

  if (!gst_video_info_from_caps(&st.info, caps)) {
    // Relabelling data that cannot be swapped would corrupt the colours.
    GST_WARNING_OBJECT(self, "cannot convert YV12 caps %" GST_PTR_FORMAT ", passing through",
                       caps);
    return gst_pad_push_event(self->srcpad, event);
  }
  gstref::Ref<GstCaps> i420 = gstref::adopt(gst_caps_copy(caps));
  gst_caps_set_simple(i420.get(), "format", G_TYPE_STRING, "I420", nullptr);
  GST_DEBUG_OBJECT(self, "converting to %" GST_PTR_FORMAT, i420.get());
  GstEvent *out = gst_event_new_caps(i420.get());
  gst_event_set_seqnum(out, gst_event_get_seqnum(event));
  gst_event_unref(event);
  st.convert = true;
  return gst_pad_push_event(self->srcpad, out);
}

static gboolean
yv12_converter_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  YV12Converter *self = YV12_CONVERTER(parent);
  if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) return handle_caps(self, event);
  return gst_pad_event_default(pad, parent, event);
}

namespace {

// Exchanges two rows of `len` bytes through a small stack buffer (no allocation per frame).
void
swap_rows(guint8 *a, guint8 *b, gsize len)
{
  guint8 tmp[4096];
  while (len > 0) {
    const gsize n = std::min(len, sizeof tmp);
    std::memcpy(tmp, a, n);
    // memmove: planes described by a foreign video meta are not guaranteed to be disjoint.
    std::memmove(a, b, n);
    std::memcpy(b, tmp, n);
    a += n;
    b += n;
    len -= n;
  }
}

// Swaps the contents of the two chroma planes of a mapped YV12 frame.
void
swap_chroma_planes(GstVideoFrame *frame)
{
  // All (height + 1) / 2 chroma rows: with the half count, an odd height would leave the last
  // row of each plane in the wrong place.
  const guint rows = GST_VIDEO_FRAME_COMP_HEIGHT(frame, 1);
  const gsize row_bytes = GST_VIDEO_FRAME_COMP_WIDTH(frame, 1);
  auto *p1 = static_cast<guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(frame, 1));
  auto *p2 = static_cast<guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(frame, 2));
  const gint stride1 = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1);
  const gint stride2 = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 2);
  for (guint r = 0; r < rows; ++r)
    swap_rows(p1 + gsize{r} * stride1, p2 + gsize{r} * stride2, row_bytes);
}

}  // namespace

static GstFlowReturn
yv12_converter_chain(GstPad *, GstObject *parent, GstBuffer *in)
{
  YV12Converter *self = YV12_CONVERTER(parent);
  YV12ConverterState &st = *self->state;
  if (!st.convert) return gst_pad_push(self->srcpad, in);

  GstBuffer *buf = gst_buffer_make_writable(in);
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &st.info, buf,
                           static_cast<GstMapFlags>(GST_MAP_READWRITE))) {
    GST_WARNING_OBJECT(self, "cannot map a %" G_GSIZE_FORMAT "-byte buffer as a YV12 frame",
                       gst_buffer_get_size(buf));
    return gst_pad_push(self->srcpad, buf);
  }
  if (GST_VIDEO_FRAME_FORMAT(&frame) == GST_VIDEO_FORMAT_YV12) swap_chroma_planes(&frame);
  gst_video_frame_unmap(&frame);

  // The plane offsets still hold: what was V's place now holds U, which is I420's order.
  // Left saying YV12, the meta makes downstream refuse the buffer.
  GstVideoMeta *meta = gst_buffer_get_video_meta(buf);
  if (meta && meta->format == GST_VIDEO_FORMAT_YV12) {
    meta->format = GST_VIDEO_FORMAT_I420;
    // Pooled metas survive the buffer's return to its pool: without the tag the pool would
    // hand the buffer back to upstream labelled I420 (GstBufferPool drops tagged buffers).
    if (GST_META_FLAG_IS_SET(meta, GST_META_FLAG_POOLED))
      GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_TAG_MEMORY);
  }
  return gst_pad_push(self->srcpad, buf);
}
