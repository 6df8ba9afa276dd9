// mpeg4postprocessor: announces MPEG-4 Part 2 video as plain MPEG-4 for remuxing into MP4.
//
// DivX 4/5 caps become video/mpeg, mpegversion 4; DivX 3 (not MPEG-4 Part 2 conformant) is
// refused, which fails negotiation. Buffers pass unchanged.
//
//   gst-launch-1.0 filesrc location=in.avi ! avidemux ! mpeg4videoparse ! mpeg4postprocessor !
//       mp4mux ! filesink location=out.mp4
#include "transcoding-plugins/base-plugins/mpeg4-postprocessor.h"

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(mpeg4_postprocessor_debug);
#define GST_CAT_DEFAULT mpeg4_postprocessor_debug

namespace {

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/mpeg,mpegversion=(int)4,systemstream=(bool)false"));
GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

}  // namespace

struct _Mpeg4Postprocessor {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gboolean silent;
};

G_DEFINE_TYPE(Mpeg4Postprocessor, mpeg4_postprocessor, GST_TYPE_ELEMENT)

gboolean
mpeg4_postprocessor_register(GstPlugin *plugin)
{
  return element_register(plugin, "mpeg4postprocessor", GST_RANK_NONE, TYPE_MPEG4_POSTPROCESSOR,
                          &mpeg4_postprocessor_debug, "mpeg4postprocessor",
                          "Process MPEG4 video for passthrough");
}

static gboolean mpeg4_postprocessor_sink_event(GstPad *pad, GstObject *parent, GstEvent *event);
static GstFlowReturn mpeg4_postprocessor_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer);

static void
mpeg4_postprocessor_class_init(Mpeg4PostprocessorClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  element_class_install_silent_property(gobject_class, G_STRUCT_OFFSET(Mpeg4Postprocessor, silent));

  gst_element_class_set_metadata(element_class, "Mpeg4Postprocessor", "Parser",
                                 "Process MPEG4 video for passthrough",
                                 "Transcoding team <transcoding@example.com>");
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
mpeg4_postprocessor_init(Mpeg4Postprocessor *self)
{
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(mpeg4_postprocessor_chain);
  spec.sink_event = ELEMENT_FUNC(mpeg4_postprocessor_sink_event);
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
}

static gboolean
mpeg4_postprocessor_handle_caps(Mpeg4Postprocessor *self, GstEvent *event)
{
  GstCaps *in_caps;
  gst_event_parse_caps(event, &in_caps);
  gstref::Ref<GstCaps> caps = gstref::adopt(gst_caps_copy(in_caps));
  gst_event_unref(event);
  if (gst_caps_is_empty(caps.get()) || gst_caps_is_any(caps.get())) {
    GST_WARNING_OBJECT(self, "refusing caps without a structure: %" GST_PTR_FORMAT, caps.get());
    return FALSE;
  }

  GstStructure *s = gst_caps_get_structure(caps.get(), 0);
  gst_structure_set_name(s, "video/mpeg");
  gst_structure_set(s, "mpegversion", G_TYPE_INT, 4, "systemstream", G_TYPE_BOOLEAN, FALSE,
                    nullptr);
  gint divx_version;
  if (gst_structure_get_int(s, "divxversion", &divx_version)) {
    // DivX 3 is an MS-MPEG4 variant, not MPEG-4 Part 2: MP4 cannot carry it.
    if (divx_version == 3) {
      GST_ERROR_OBJECT(self, "DivX 3 can not be remuxed in an MP4 file");
      return FALSE;
    }
    gst_structure_remove_field(s, "divxversion");
  }
  GST_DEBUG_OBJECT(self, "pushing caps %" GST_PTR_FORMAT, caps.get());
  return gst_pad_push_event(self->srcpad, gst_event_new_caps(caps.get()));
}

static gboolean
mpeg4_postprocessor_sink_event(GstPad *pad, GstObject *parent, GstEvent *event)
{
  Mpeg4Postprocessor *self = MPEG4_POSTPROCESSOR(parent);
  if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) return mpeg4_postprocessor_handle_caps(self, event);
  return gst_pad_event_default(pad, parent, event);
}

static GstFlowReturn
mpeg4_postprocessor_chain(GstPad *, GstObject *parent, GstBuffer *buffer)
{
  return gst_pad_push(MPEG4_POSTPROCESSOR(parent)->srcpad, buffer);
}
