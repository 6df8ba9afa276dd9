#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define YV12_TYPE_CONVERTER (yv12_converter_get_type())
G_DECLARE_FINAL_TYPE(YV12Converter, yv12_converter, YV12, CONVERTER, GstElement)

gboolean yv12_converter_register(GstPlugin *plugin);

G_END_DECLS
