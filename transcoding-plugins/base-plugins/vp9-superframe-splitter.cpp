// vp9superframesplitter: splits VP9 superframes into one buffer per frame.
//
// Encoders with alt-ref frames pack a hidden frame and the frame shown after it into one
// superframe with a trailing index (VP9 Annex B). Muxers and decoders that expect one frame
// per buffer get the frames one by one; buffers without a valid index pass unchanged.
//
//   gst-launch-1.0 filesrc location=in.webm ! matroskademux ! vp9superframesplitter !
//       vp9dec ! videoconvert ! autovideosink
//
// The superframe's timestamps go to the frame that is displayed (the hidden alt-ref frames come
// first); the hidden frames carry none.
//
// Limits: an index whose frames are empty or do not fit in the data before it is treated as no
// index. A superframe that shows several frames shares its duration among them evenly.
#include "transcoding-plugins/base-plugins/vp9-superframe-splitter.h"

#include <algorithm>

#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(vp9_superframe_splitter_debug);
#define GST_CAT_DEFAULT vp9_superframe_splitter_debug

namespace {

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-vp9"));
GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-vp9"));

}  // namespace

namespace vp9 {

std::optional<SuperframeIndex>
parse_superframe_index(std::span<const uint8_t> data)
{
  if (data.empty()) return std::nullopt;
  // Annex B: superframe_marker (3 bits, 0b110), bytes_per_framesize_minus_1 (2 bits),
  // frames_in_superframe_minus_1 (3 bits); the marker byte opens and closes the index.
  const uint8_t marker = data.back();
  if ((marker & 0xE0) != 0xC0) return std::nullopt;
  SuperframeIndex index;
  const unsigned bytes_per_size = ((marker >> 3) & 0x3) + 1;
  index.frame_count = (marker & 0x7) + 1;
  index.index_size = 2 + bytes_per_size * index.frame_count;
  if (data.size() < index.index_size) return std::nullopt;
  const size_t index_start = data.size() - index.index_size;
  if (data[index_start] != marker) return std::nullopt;

  const size_t payload = index_start;
  uint64_t total = 0;
  const uint8_t *p = data.data() + index_start + 1;
  for (unsigned i = 0; i < index.frame_count; ++i) {
    uint32_t size = 0;
    for (unsigned b = 0; b < bytes_per_size; ++b) size |= uint32_t{*p++} << (8 * b);
    if (size == 0) return std::nullopt;
    index.frame_sizes[i] = size;
    total += size;
  }
  if (total > payload) return std::nullopt;
  return index;
}

std::optional<bool>
frame_is_shown(std::span<const uint8_t> frame)
{
  if (frame.empty()) return std::nullopt;
  // VP9 6.2: frame_marker (2 bits, 0b10), profile_low_bit, profile_high_bit, reserved_zero in
  // profile 3, show_existing_frame, frame_type, show_frame. All of it fits in the first byte.
  const unsigned byte = frame[0];
  auto bit = [byte](unsigned pos) { return ((byte >> (7 - pos)) & 1) != 0; };
  if ((byte >> 6) != 2) return std::nullopt;
  unsigned pos = 4;
  if (bit(2) && bit(3)) {  // profile 3: reserved_zero must be zero
    if (bit(pos)) return std::nullopt;
    ++pos;
  }
  if (bit(pos)) return true;
  return bit(pos + 2);  // after frame_type
}

}  // namespace vp9

struct _VP9SuperframeSplitter {
  GstElement parent;
  GstPad *sinkpad;
  GstPad *srcpad;
  gboolean silent;  // object lock
};

G_DEFINE_TYPE(VP9SuperframeSplitter, vp9_superframe_splitter, GST_TYPE_ELEMENT)

gboolean
vp9_superframe_splitter_register(GstPlugin *plugin)
{
  return element_register(plugin, "vp9superframesplitter", GST_RANK_PRIMARY,
                          VP9_TYPE_SUPERFRAME_SPLITTER, &vp9_superframe_splitter_debug,
                          "vp9superframesplitter", "Splits VP9 superframes into regular frames");
}

static GstFlowReturn vp9_superframe_splitter_chain(GstPad *pad, GstObject *parent,
                                                   GstBuffer *buffer);

static void
vp9_superframe_splitter_class_init(VP9SuperframeSplitterClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  element_class_install_silent_property(gobject_class, G_STRUCT_OFFSET(VP9SuperframeSplitter, silent));

  gst_element_class_set_metadata(element_class, "VP9SuperframeSplitter", "Codec/Video/Parser",
                                 "Splits VP9 superframes into regular frames",
                                 "Transcoding team <transcoding@example.com>");
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
}

static void
vp9_superframe_splitter_init(VP9SuperframeSplitter *self)
{
  const GstPadFlags proxy =
      static_cast<GstPadFlags>(GST_PAD_FLAG_PROXY_CAPS | GST_PAD_FLAG_PROXY_ALLOCATION);
  PadPairSpec spec{};
  spec.sink_template = &sink_template;
  spec.src_template = &src_template;
  spec.chain = ELEMENT_FUNC(vp9_superframe_splitter_chain);
  spec.sink_flags = proxy;
  spec.src_flags = proxy;
  spec.pass_through = true;
  PadPair pads = element_create_pad_pair(GST_ELEMENT(self), spec);
  self->sinkpad = pads.sink;
  self->srcpad = pads.src;
}

namespace {

// Which frames of a superframe get timestamps: the displayed ones, which a decoder outputs.
// When no frame says it is shown, or a header cannot be read, the last frame, where the
// displayed frame sits in every superframe an encoder makes.
std::array<bool, 8>
frames_to_time(std::span<const uint8_t> data, const vp9::SuperframeIndex &index)
{
  std::array<bool, 8> timed{};
  bool any = false, readable = true;
  gsize offset = 0;
  for (unsigned i = 0; i < index.frame_count && readable; ++i) {
    const std::optional<bool> shown =
        vp9::frame_is_shown(data.subspan(offset, index.frame_sizes[i]));
    offset += index.frame_sizes[i];
    readable = shown.has_value();
    timed[i] = shown.value_or(false);
    any |= timed[i];
  }
  if (!readable || !any) {
    timed.fill(false);
    timed[index.frame_count - 1] = true;
  }
  return timed;
}

// Frame `k` of `n` displayed frames gets its share of the superframe's time, so that every
// picture a decoder outputs is timestamped, in order. Without a duration only the first gets
// a time: there is nothing to space the others by.
void
set_share_of_timestamps(GstBuffer *frame, GstBuffer *superframe, unsigned k, unsigned n)
{
  const GstClockTime duration = GST_BUFFER_DURATION(superframe);
  if (k > 0 && !GST_CLOCK_TIME_IS_VALID(duration)) return;
  const GstClockTime share = GST_CLOCK_TIME_IS_VALID(duration) ? duration / n : 0;
  const GstClockTime pts = GST_BUFFER_PTS(superframe), dts = GST_BUFFER_DTS(superframe);
  GST_BUFFER_PTS(frame) = GST_CLOCK_TIME_IS_VALID(pts) ? pts + k * share : GST_CLOCK_TIME_NONE;
  GST_BUFFER_DTS(frame) = GST_CLOCK_TIME_IS_VALID(dts) ? dts + k * share : GST_CLOCK_TIME_NONE;
  GST_BUFFER_DURATION(frame) =
      !GST_CLOCK_TIME_IS_VALID(duration) ? GST_CLOCK_TIME_NONE
      : k + 1 == n                       ? duration - k * share
                                         : share;
}

}  // namespace

static GstFlowReturn
vp9_superframe_splitter_chain(GstPad *, GstObject *parent, GstBuffer *in)
{
  VP9SuperframeSplitter *self = VP9_SUPERFRAME_SPLITTER(parent);
  gstref::Ref<GstBuffer> superframe = gstref::adopt(in);

  std::optional<vp9::SuperframeIndex> index;
  std::array<bool, 8> timed{};
  {
    gstref::BufferMap map(in, GST_MAP_READ);
    if (map.ok()) index = vp9::parse_superframe_index({map.data(), map.size()});
    if (index) timed = frames_to_time({map.data(), map.size()}, *index);
  }
  if (!index) return gst_pad_push(self->srcpad, superframe.release());

  GST_LOG_OBJECT(self, "splitting superframe of %u frames at %" GST_TIME_FORMAT,
                 index->frame_count, GST_TIME_ARGS(GST_BUFFER_PTS(in)));
  const unsigned timed_count = std::count(timed.begin(), timed.end(), true);
  constexpr auto kFrameCopy = static_cast<GstBufferCopyFlags>(
      GST_BUFFER_COPY_FLAGS | GST_BUFFER_COPY_META | GST_BUFFER_COPY_MEMORY);
  GstFlowReturn ret = GST_FLOW_OK;
  gsize offset = 0;
  unsigned shown = 0;
  for (unsigned i = 0; i < index->frame_count; ++i) {
    const gsize size = index->frame_sizes[i];
    GstBuffer *frame = gst_buffer_copy_region(in, kFrameCopy, offset, size);
    offset += size;
    if (!frame) {
      GST_WARNING_OBJECT(self, "cannot cut frame %u of a superframe", i);
      ret = GST_FLOW_ERROR;
      continue;
    }
    if (timed[i]) set_share_of_timestamps(frame, in, shown++, timed_count);
    ret = gst_pad_push(self->srcpad, frame);
  }
  // CUSTOM_SUCCESS asks for the superframe as well.
  if (ret == GST_FLOW_CUSTOM_SUCCESS) return gst_pad_push(self->srcpad, superframe.release());
  return ret;
}
