#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

GType dynamic_audio_normalizer_get_type(void);
#define TYPE_DYNAMIC_AUDIO_NORMALIZER (dynamic_audio_normalizer_get_type())

gboolean dynamic_audio_normalizer_register(GstPlugin *plugin);

G_END_DECLS
