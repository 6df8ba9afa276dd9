#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

// Registers the plugin statically (for applications linking the elements in).
GST_PLUGIN_EXPORT gboolean gst_plugin_base_plugins_register(void);
GST_PLUGIN_EXPORT const GstPluginDesc *gst_plugin_base_plugins_get_desc(void);

G_END_DECLS
