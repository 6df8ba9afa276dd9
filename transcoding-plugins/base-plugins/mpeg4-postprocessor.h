#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define TYPE_MPEG4_POSTPROCESSOR (mpeg4_postprocessor_get_type())
G_DECLARE_FINAL_TYPE(Mpeg4Postprocessor, mpeg4_postprocessor, MPEG4, POSTPROCESSOR, GstElement)

gboolean mpeg4_postprocessor_register(GstPlugin *plugin);

G_END_DECLS
