// The base_plugins module: descriptor and the fixed registration order of its factories.
#include "transcoding-plugins/base-plugins/plugin.h"

#include <array>

#include "transcoding-plugins/base-plugins/audio-timestamp-corrector.h"
#include "transcoding-plugins/base-plugins/buffer-merge.h"
#include "transcoding-plugins/base-plugins/buffer-skip.h"
#include "transcoding-plugins/base-plugins/h264-processor.h"
#include "transcoding-plugins/base-plugins/h265-postprocessor.h"
#include "transcoding-plugins/base-plugins/vp9-superframe-splitter.h"
#include "transcoding-plugins/base-plugins/yv12-converter.h"
#include "transcoding-plugins/base-plugins/h264-postprocessor.h"
#include "transcoding-plugins/common/element.h"

namespace {

// The factory order is part of the interface: keep it.
constexpr std::array<ElementRegisterFunc, 8> kRegistrations = {
    buffer_skip_register,
    audio_timestamp_corrector_register,
    buffer_merge_register,
    h264_postprocessor_register,
    h264_processor_register,
    h265_postprocessor_register,
    vp9_superframe_splitter_register,
    yv12_converter_register,
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
