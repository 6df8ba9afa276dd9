// opuschannelmap: relabels side surrounds as rear surrounds for an Opus encoder.
//
// The Opus (Vorbis order) channel mappings know only rear surrounds, so opusenc refuses 5.1
// with side surrounds. In a layout with side channels but no rear channels, the side pair is
// announced as the rear pair; the samples pass untouched, buffer for buffer. Towards upstream
// the element offers each rear layout of the encoder also with side surrounds, so that a
// producer of side layouts that asks first can negotiate through it.
//
//   gst-launch-1.0 audiotestsrc ! audio/x-raw,channels=6,channel-mask=(bitmask)0xc0f !
//       opuschannelmap ! opusenc ! oggmux ! filesink location=out.opus
//
// Limits: only the announced positions change; a layout that cannot be relabelled in its own
// channel order (side pair behind a rear centre) is left as it is.
#include "transcoding-plugins/base-plugins/opus-channel-map.h"

#include <gst/audio/audio.h>

#include "transcoding-plugins/common/base-transform.h"
#include "transcoding-plugins/common/element.h"

GST_DEBUG_CATEGORY_STATIC(opus_channel_map_debug);
#define GST_CAT_DEFAULT opus_channel_map_debug

namespace {

constexpr char kCaps[] = "audio/x-raw, channels=(int)[1,8]";

constexpr guint64
position_bit(GstAudioChannelPosition p)
{
  return guint64{1} << p;
}

constexpr guint64 kRearPair = position_bit(GST_AUDIO_CHANNEL_POSITION_REAR_LEFT) |
                              position_bit(GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT);
constexpr guint64 kSidePair = position_bit(GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT) |
                              position_bit(GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT);
// Positions that sort between the rear and the side pair: with one of them present the
// relabelled channels would change places in the channel order.
constexpr guint64 kBetweenRearAndSide =
    position_bit(GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER) |
    position_bit(GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER) |
    position_bit(GST_AUDIO_CHANNEL_POSITION_REAR_CENTER) |
    position_bit(GST_AUDIO_CHANNEL_POSITION_LFE2);

class Transform : public BaseTransform {
 public:
  using BaseTransform::BaseTransform;

  BufferList transform(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow) override;
  BufferList flush() override { return {}; }
  fn::AutoPtr<GstCaps> transform_caps(GstPadDirection direction, const fn::AutoPtr<GstCaps> &caps,
                                      const fn::AutoPtr<GstCaps> &filter) override;
};

}  // namespace

typedef BaseTransformElement OpusChannelMap;
typedef BaseTransformElementClass OpusChannelMapClass;

G_DEFINE_TYPE(OpusChannelMap, opus_channel_map, TYPE_BASE_TRANSFORM_ELEMENT)

gboolean
opus_channel_map_register(GstPlugin *plugin)
{
  return element_register(plugin, "opuschannelmap", GST_RANK_NONE, TYPE_OPUS_CHANNEL_MAP,
                          &opus_channel_map_debug, "opuschannelmap",
                          "Maps channels for opus encoder");
}

static void
opus_channel_map_class_init(OpusChannelMapClass *klass)
{
  fn::AutoPtr<GstCaps> caps(gst_caps_from_string(kCaps));
  base_transform_element_class_setup(klass, caps, caps);
  gst_element_class_set_metadata(GST_ELEMENT_CLASS(klass), "OpusChannelMap", "Converter",
                                 "Maps channels for opus encoder",
                                 "Transcoding team <transcoding@example.com>");
}

static void
opus_channel_map_init(OpusChannelMap *self)
{
  self->transform = new Transform(self);
}

namespace {

BaseTransform::BufferList
Transform::transform(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow)
{
  flow = GST_FLOW_OK;
  BufferList out;
  out.push_back(input);
  return out;
}

// Sink to src: side pair to rear pair when the layout has no rear channel.
void
map_side_to_rear(GstAudioInfo &info)
{
  const int channels = GST_AUDIO_INFO_CHANNELS(&info);
  for (int i = 0; i < channels; ++i) {
    const GstAudioChannelPosition p = info.position[i];
    if (p == GST_AUDIO_CHANNEL_POSITION_REAR_LEFT || p == GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT)
      return;
  }
  for (int i = 0; i < channels; ++i) {
    if (info.position[i] == GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT)
      info.position[i] = GST_AUDIO_CHANNEL_POSITION_REAR_LEFT;
    else if (info.position[i] == GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT)
      info.position[i] = GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT;
  }
}

// Relabels the fixed channel masks of unfixed caps, structure by structure. Src to sink
// (`add` true): each structure with a rear pair and no side pair is followed by the same
// structure with the rear pair announced as the side pair. Sink to src: a side pair in a
// structure without a rear pair becomes the rear pair, as for fixed caps.
fn::AutoPtr<GstCaps>
relabel_structures(const fn::AutoPtr<GstCaps> &caps, bool add)
{
  const guint64 from = add ? kRearPair : kSidePair;
  const guint64 to = add ? kSidePair : kRearPair;
  const GstAudioChannelPosition left_from =
      add ? GST_AUDIO_CHANNEL_POSITION_REAR_LEFT : GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT;
  const GstAudioChannelPosition right_from =
      add ? GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT : GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT;
  const GstAudioChannelPosition left_to =
      add ? GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT : GST_AUDIO_CHANNEL_POSITION_REAR_LEFT;
  const GstAudioChannelPosition right_to =
      add ? GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT : GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT;

  fn::AutoPtr<GstCaps> result(gst_caps_new_empty());
  const guint n = gst_caps_get_size(caps.get());
  for (guint i = 0; i < n; ++i) {
    const GstStructure *s = gst_caps_get_structure(caps.get(), i);
    GstCapsFeatures *features = gst_caps_get_features(caps.get(), i);
    auto append = [&](GstStructure *structure) {
      gst_caps_append_structure_full(result.get(), structure,
                                     features ? gst_caps_features_copy(features) : nullptr);
    };
    guint64 mask = 0;
    const bool relabel = gst_structure_get(s, "channel-mask", GST_TYPE_BITMASK, &mask, nullptr) &&
                         (mask & from) && !(mask & (to | kBetweenRearAndSide));
    if (add || !relabel) append(gst_structure_copy(s));
    if (!relabel) continue;
    guint64 new_mask = mask & ~from;
    if (mask & position_bit(left_from)) new_mask |= position_bit(left_to);
    if (mask & position_bit(right_from)) new_mask |= position_bit(right_to);
    GstStructure *variant = gst_structure_copy(s);
    gst_structure_set(variant, "channel-mask", GST_TYPE_BITMASK, new_mask, nullptr);
    append(variant);
  }
  return result;
}

fn::AutoPtr<GstCaps>
Transform::transform_caps(GstPadDirection direction, const fn::AutoPtr<GstCaps> &caps,
                          const fn::AutoPtr<GstCaps> &filter)
{
  if (!caps || gst_caps_is_any(caps.get()) || gst_caps_is_empty(caps.get())) return caps;
  fn::AutoPtr<GstCaps> result = caps;
  GstAudioInfo info;
  const bool fixed = gst_caps_is_fixed(caps.get());
  if (fixed && gst_audio_info_from_caps(&info, caps.get())) {
    GstAudioInfo mapped = info;
    if (direction == GST_PAD_SINK) map_side_to_rear(mapped);
    result.reset(gst_audio_info_to_caps(&mapped));
    if (!result) {
      GST_DEBUG_OBJECT(element, "cannot relabel %" GST_PTR_FORMAT " in its channel order",
                       caps.get());
      result.reset(gst_audio_info_to_caps(&info));
    }
    if (!result) result = caps;
  }
  if (direction == GST_PAD_SRC)
    result = relabel_structures(result, true);
  else if (!fixed)
    result = relabel_structures(result, false);
  // GstBaseTransform insists on a subset of the filter.
  if (filter) result.reset(gst_caps_intersect_full(filter.get(), result.get(), GST_CAPS_INTERSECT_FIRST));
  GST_LOG_OBJECT(element, "%s %" GST_PTR_FORMAT " -> %" GST_PTR_FORMAT,
                 direction == GST_PAD_SINK ? "sink" : "src", caps.get(), result.get());
  return result;
}

}  // namespace
