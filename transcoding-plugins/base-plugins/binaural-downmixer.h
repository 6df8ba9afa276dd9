#pragma once

#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <array>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <vector>

#include "hrtf/hrtf.h"

G_BEGIN_DECLS

GType binaural_downmixer_get_type(void);
#define TYPE_BINAURAL_DOWNMIXER (binaural_downmixer_get_type())

gboolean binaural_downmixer_register(GstPlugin *plugin);

G_END_DECLS

// The filter design, usable without a pipeline.
namespace binaural {

// Frames per processing block.
constexpr size_t kBlockSize = 2048;
// Longest filter (delay plus taps after rate conversion) the element builds.
constexpr size_t kMaxFilterLength = 65536;

// Why a layout or set cannot be used; the message is meant for users.
class DesignError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Direction of a loudspeaker in degrees (counted towards the left, 90 = left); none for LFE
// and for positions without a direction (mono, none, invalid).
std::optional<int> speakerAzimuth(GstAudioChannelPosition position, const GstAudioInfo &info,
                                  bool testing_layout);

// One input channel's filters: [0] left ear, [1] right ear; both empty for an LFE channel.
using ChannelFilters = std::array<std::vector<float>, 2>;

// The filters of every input channel of `info` from `set`: nearest entry per speaker, the
// interaural delay scaled by head_scale and converted to the stream rate, taps resampled with
// GStreamer's Kaiser resampler when the set has no entries at the stream rate. Raises
// DesignError when the set or the layout cannot be used.
std::vector<ChannelFilters> designFilters(const hrtf::Set &set, const GstAudioInfo &info,
                                          float head_scale, bool testing_layout);

// Transform length for filters of up to max_filter_length taps.
size_t fftSize(size_t max_filter_length);

}  // namespace binaural
