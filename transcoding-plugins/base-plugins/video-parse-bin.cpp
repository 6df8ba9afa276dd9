// mpegparsebin, mpeg4parsebin, h264parsebin, h265parsebin: the stock video parsers paired with
// this plugin's timestamp and codec-data fixers.
//
// Registration lowers mpegvideoparse, mpeg4videoparse, h264parse and h265parse to rank NONE so
// that autoplugging (decodebin, parsebin) picks the bins instead. The src templates also
// restrict what the stock parser may output: H.264 and H.265 leave as length-prefixed access
// units.
//
//   gst-launch-1.0 filesrc location=in.ts ! tsdemux ! mpegparsebin ! matroskamux !
//       filesink location=out.mkv
//
// Limits: a bin whose stock parser (or h264processor) cannot be created fails its change to
// READY with a missing-plugin error.
#include "transcoding-plugins/base-plugins/video-parse-bin.h"

#include <array>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(video_parse_bin_debug);
#define GST_CAT_DEFAULT video_parse_bin_debug

namespace {

constexpr const char *kAuthor = "Transcoding team <transcoding@example.com>";

struct ChildSpec {
  const char *factory;
  const char *name;  // nullptr: GStreamer's automatic name
};

struct BinSpec {
  const char *long_name;
  const char *description;
  ChildSpec first;
  ChildSpec second;  // factory nullptr when the chain has one child
  GstStaticPadTemplate *sink_template;
  GstStaticPadTemplate *src_template;
};

GstStaticPadTemplate mpeg_sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/mpeg, mpegversion = (int) [1, 2], systemstream = (boolean) false"));
GstStaticPadTemplate mpeg_src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("video/mpeg, mpegversion = (int) [1, 2], "
                                            "parsed=(boolean) true, systemstream = (boolean) "
                                            "false"));
GstStaticPadTemplate mpeg4_sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/mpeg, mpegversion = (int) 4, systemstream = (boolean) false; "
                    "video/x-divx, divxversion = (int) [ 4, 5 ]"));
GstStaticPadTemplate mpeg4_src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/mpeg,mpegversion=(int)4,systemstream=(bool)false,parsed=(bool)true,"
                    "width=(int)[0, max],height=(int)[0, max]; video/x-divx,divxversion = (int) "
                    "[ 4, 5 ],parsed=(bool)true"));
GstStaticPadTemplate h264_sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-h264"));
GstStaticPadTemplate h264_src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-h264, parsed = (boolean) true, stream-format=(string) { avc }, "
                    "alignment=(string) { au }"));
GstStaticPadTemplate h265_sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-h265"));
GstStaticPadTemplate h265_src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-h265, parsed = (boolean) true, stream-format=(string) { hvc1 }, "
                    "alignment=(string) { au }"));

const BinSpec kMpegBin = {"MpegParseBin",
                          "Parses mpeg stream",
                          {"mpegvideoparse", nullptr},
                          {"mpegtimestampparser", nullptr},
                          &mpeg_sink_template,
                          &mpeg_src_template};
const BinSpec kMpeg4Bin = {"Mpeg4ParseBin",
                           "Parses MPEG4 stream",
                           {"mpeg4videoparse", nullptr},
                           {"mpeg4timestampparser", nullptr},
                           &mpeg4_sink_template,
                           &mpeg4_src_template};
const BinSpec kH264Bin = {"H264ParseBin",
                          "Parses H.264 stream",
                          {"h264parse", nullptr},
                          {"h264processor", "h264processor"},
                          &h264_sink_template,
                          &h264_src_template};
const BinSpec kH265Bin = {"H265ParseBin",     "Parses H.265 stream", {"h265parse", nullptr},
                          {nullptr, nullptr}, &h265_sink_template,   &h265_src_template};

// The stock parsers whose rank the bins take over, in this order.
constexpr std::array<const char *, 4> kStockParsers = {"mpegvideoparse", "mpeg4videoparse",
                                                       "h264parse", "h265parse"};

}  // namespace

// All four bins share this instance layout.
#define VIDEO_PARSE_BIN_FIELDS \
  GstBin parent;               \
  const char *missing_factory /* first child that could not be created, or nullptr */

struct _MpegParseBin {
  VIDEO_PARSE_BIN_FIELDS;
};
struct _Mpeg4ParseBin {
  VIDEO_PARSE_BIN_FIELDS;
};
struct _H264ParseBin {
  VIDEO_PARSE_BIN_FIELDS;
};
struct _H265ParseBin {
  VIDEO_PARSE_BIN_FIELDS;
};

namespace {

struct VideoParseBin {
  VIDEO_PARSE_BIN_FIELDS;
};

// The ghost src pad's template is a promise to downstream: make the stock parser see it when
// it asks what it may output (byte-stream H.264 in, avc out).
gboolean
restrict_to_template_query(GstPad *pad, GstObject *parent, GstQuery *query)
{
  GstPad *ghost = GST_PAD(parent);
  gstref::Ref<GstCaps> templ = gstref::adopt(gst_pad_get_pad_template_caps(ghost));
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_CAPS: {
      if (!gst_pad_query_default(pad, parent, query)) return FALSE;
      GstCaps *result;
      gst_query_parse_caps_result(query, &result);
      gstref::Ref<GstCaps> restricted = gstref::adopt(
          gst_caps_intersect_full(result, templ.get(), GST_CAPS_INTERSECT_FIRST));
      gst_query_set_caps_result(query, restricted.get());
      return TRUE;
    }
    case GST_QUERY_ACCEPT_CAPS: {
      GstCaps *caps;
      gst_query_parse_accept_caps(query, &caps);
      if (!gst_caps_is_subset(caps, templ.get())) {
        gst_query_set_accept_caps_result(query, FALSE);
        return TRUE;
      }
      return gst_pad_query_default(pad, parent, query);
    }
    default: return gst_pad_query_default(pad, parent, query);
  }
}

// Adds a ghost pad named like the template, targeting `target` (or none when the child is
// missing, so that the bin still offers its pads).
void
add_ghost_pad(GstElement *bin, GstStaticPadTemplate *static_templ, GstElement *child)
{
  GstPadTemplate *templ =
      gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(bin), static_templ->name_template);
  GstPad *ghost;
  if (child) {
    gstref::Ref<GstPad> target =
        gstref::adopt(gst_element_get_static_pad(child, static_templ->name_template));
    ghost = gst_ghost_pad_new_from_template(static_templ->name_template, target.get(), templ);
  } else {
    ghost = gst_ghost_pad_new_no_target_from_template(static_templ->name_template, templ);
  }
  if (static_templ->direction == GST_PAD_SRC) {
    gstref::Ref<GstProxyPad> internal =
        gstref::adopt(gst_proxy_pad_get_internal(GST_PROXY_PAD(ghost)));
    gst_pad_set_query_function(GST_PAD(internal.get()), restrict_to_template_query);
  }
  gst_element_add_pad(bin, ghost);
}

GstElement *
make_child(VideoParseBin *self, const ChildSpec &child)
{
  GstElement *element = gst_element_factory_make(child.factory, child.name);
  if (!element) {
    GST_WARNING_OBJECT(self, "cannot create a \"%s\" element", child.factory);
    if (!self->missing_factory) self->missing_factory = child.factory;
    return nullptr;
  }
  gst_bin_add(GST_BIN(self), element);
  return element;
}

void
build_chain(VideoParseBin *self, const BinSpec &spec)
{
  GstElement *first = make_child(self, spec.first);
  GstElement *last = first;
  if (spec.second.factory) {
    last = make_child(self, spec.second);
    if (first && last && !gst_element_link(first, last))
      GST_ERROR_OBJECT(self, "cannot link %s to %s", spec.first.factory, spec.second.factory);
  }
  add_ghost_pad(GST_ELEMENT(self), spec.sink_template, first);
  add_ghost_pad(GST_ELEMENT(self), spec.src_template, last);
}

GstStateChangeReturn
check_complete(VideoParseBin *self, GstStateChange transition)
{
  if (transition == GST_STATE_CHANGE_NULL_TO_READY && self->missing_factory) {
    // Running half-built would pass the stream through unfixed or not at all.
    GST_ELEMENT_ERROR(self, CORE, MISSING_PLUGIN,
                      ("Missing element '%s' - check your GStreamer installation.",
                       self->missing_factory),
                      ("%s cannot work without a \"%s\" element", GST_OBJECT_NAME(self),
                       self->missing_factory));
    return GST_STATE_CHANGE_FAILURE;
  }
  return GST_STATE_CHANGE_SUCCESS;
}

void
init_class(GstElementClass *element_class, const BinSpec &spec)
{
  gst_element_class_set_metadata(element_class, spec.long_name, "Codec/Parser/Video",
                                 spec.description, kAuthor);
  gst_element_class_add_static_pad_template(element_class, spec.src_template);
  gst_element_class_add_static_pad_template(element_class, spec.sink_template);
}

}  // namespace

// One GType per bin; they differ only in their table row.
#define DEFINE_VIDEO_PARSE_BIN(TypeName, type_name, TYPE, spec)                                 \
  G_DEFINE_TYPE(TypeName, type_name, GST_TYPE_BIN)                                              \
  static GstStateChangeReturn type_name##_change_state(GstElement *element,                     \
                                                       GstStateChange transition)               \
  {                                                                                             \
    GstStateChangeReturn ret =                                                                  \
        check_complete(reinterpret_cast<VideoParseBin *>(element), transition);                 \
    if (ret == GST_STATE_CHANGE_FAILURE) return ret;                                            \
    return GST_ELEMENT_CLASS(type_name##_parent_class)->change_state(element, transition);      \
  }                                                                                             \
  static void type_name##_class_init(TypeName##Class *klass)                                    \
  {                                                                                             \
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);                                  \
    element_class->change_state = GST_DEBUG_FUNCPTR(type_name##_change_state);                  \
    init_class(element_class, spec);                                                            \
  }                                                                                             \
  static void type_name##_init(TypeName *self)                                                  \
  {                                                                                             \
    build_chain(reinterpret_cast<VideoParseBin *>(self), spec);                                 \
  }

DEFINE_VIDEO_PARSE_BIN(MpegParseBin, mpeg_parse_bin, MPEG_PARSE_BIN, kMpegBin)
DEFINE_VIDEO_PARSE_BIN(Mpeg4ParseBin, mpeg4_parse_bin, MPEG4_PARSE_BIN, kMpeg4Bin)
DEFINE_VIDEO_PARSE_BIN(H264ParseBin, h264_parse_bin, H264_PARSE_BIN, kH264Bin)
DEFINE_VIDEO_PARSE_BIN(H265ParseBin, h265_parse_bin, H265_PARSE_BIN, kH265Bin)

gboolean
video_parse_bin_register(GstPlugin *plugin)
{
  element_ensure_debug_category(&video_parse_bin_debug, "videoparsebin", "Parses video streams");
  for (const char *name : kStockParsers) {
    gstref::Ref<GstElementFactory> factory = gstref::adopt(gst_element_factory_find(name));
    if (factory) gst_plugin_feature_set_rank(GST_PLUGIN_FEATURE(factory.get()), GST_RANK_NONE);
  }
  return gst_element_register(plugin, "mpegparsebin", GST_RANK_PRIMARY, TYPE_MPEG_PARSE_BIN) &&
         gst_element_register(plugin, "mpeg4parsebin", GST_RANK_PRIMARY, TYPE_MPEG4_PARSE_BIN) &&
         gst_element_register(plugin, "h264parsebin", GST_RANK_PRIMARY, TYPE_H264_PARSE_BIN) &&
         gst_element_register(plugin, "h265parsebin", GST_RANK_PRIMARY, TYPE_H265_PARSE_BIN);
}
