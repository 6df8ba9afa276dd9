// The base_plugins module: descriptor and the fixed registration order of its factories.
#include "transcoding-plugins/base-plugins/plugin.h"

#include <array>

#include "transcoding-plugins/base-plugins/audio-timestamp-corrector.h"
#include "transcoding-plugins/base-plugins/binaural-downmixer.h"
#include "transcoding-plugins/base-plugins/buffer-merge.h"
#include "transcoding-plugins/base-plugins/buffer-skip.h"
#include "transcoding-plugins/base-plugins/cached-file-src.h"
#include "transcoding-plugins/base-plugins/dynamic-audio-normalizer.h"
#include "transcoding-plugins/base-plugins/h264-postprocessor.h"
#include "transcoding-plugins/base-plugins/h264-processor.h"
#include "transcoding-plugins/base-plugins/opus-channel-map.h"
#include "transcoding-plugins/base-plugins/h265-postprocessor.h"
#include "transcoding-plugins/base-plugins/vp9-superframe-splitter.h"
#include "transcoding-plugins/base-plugins/yv12-converter.h"
#include "transcoding-plugins/base-plugins/vc1-parse.h"
#include "transcoding-plugins/base-plugins/mpeg-timestamp-parser.h"
#include "transcoding-plugins/base-plugins/mpeg4-postprocessor.h"
#include "transcoding-plugins/base-plugins/mpeg4-timestamp-parser.h"
#include "transcoding-plugins/base-plugins/video-parse-bin.h"
#include "transcoding-plugins/base-plugins/aac-transform.h"
#include "transcoding-plugins/base-plugins/mlp-parse.h"
#include "transcoding-plugins/common/element.h"

namespace {

// The factory order is part of the interface: keep it.
constexpr std::array<ElementRegisterFunc, 19> kRegistrations = {
    buffer_skip_register,
    aac_transform_register,
    audio_timestamp_corrector_register,
    buffer_merge_register,
    cached_file_src_register,
    h264_postprocessor_register,
    h264_processor_register,
    h265_postprocessor_register,
    mlp_parse_register,
    mpeg_timestamp_parser_register,
    mpeg4_postprocessor_register,
    mpeg4_timestamp_parser_register,
    vc1_parse_register,
    vp9_superframe_splitter_register,
    yv12_converter_register,
    video_parse_bin_register,
    dynamic_audio_normalizer_register,
    binaural_downmixer_register,
    opus_channel_map_register,
};

gboolean
plugin_init(GstPlugin *plugin)
{
  return element_register_all(plugin, kRegistrations);
}

const GstPluginDesc kDescriptor = {
    1,
    0,
    "base_plugins",
    "Common elements",
    plugin_init,
    "1.0",
    "Proprietary",
    "Zorvel",
    "Zorvel",
    "Ostrin",
    nullptr,
    {nullptr},
};

}  // namespace

gboolean
gst_plugin_base_plugins_register(void)
{
  return gst_plugin_register_static(kDescriptor.major_version, kDescriptor.minor_version,
                                    kDescriptor.name, kDescriptor.description,
                                    kDescriptor.plugin_init, kDescriptor.version,
                                    kDescriptor.license, kDescriptor.source,
                                    kDescriptor.package, kDescriptor.origin);
}

const GstPluginDesc *
gst_plugin_base_plugins_get_desc(void)
{
  return &kDescriptor;
}
