#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define AUDIO_TYPE_TIMESTAMP_CORRECTOR (audio_timestamp_corrector_get_type())
G_DECLARE_FINAL_TYPE(AudioTimestampCorrector, audio_timestamp_corrector, AUDIO,
                     TIMESTAMP_CORRECTOR, GstElement)

gboolean audio_timestamp_corrector_register(GstPlugin *plugin);

G_END_DECLS
