#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define BUFFER_TYPE_MERGE (buffer_merge_get_type())
G_DECLARE_FINAL_TYPE(BufferMerge, buffer_merge, BUFFER, MERGE, GstElement)

gboolean buffer_merge_register(GstPlugin *plugin);

G_END_DECLS
