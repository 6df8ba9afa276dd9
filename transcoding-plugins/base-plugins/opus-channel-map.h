#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

GType opus_channel_map_get_type(void);
#define TYPE_OPUS_CHANNEL_MAP (opus_channel_map_get_type())

gboolean opus_channel_map_register(GstPlugin *plugin);

G_END_DECLS
