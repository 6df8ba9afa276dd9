#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_BUFFER_SKIP (gst_buffer_skip_get_type())
G_DECLARE_FINAL_TYPE(GstBufferSkip, gst_buffer_skip, GST, BUFFER_SKIP, GstElement)

gboolean buffer_skip_register(GstPlugin *plugin);

G_END_DECLS
