#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define VC1_TYPE_PARSE (vc1_parse_get_type())
G_DECLARE_FINAL_TYPE(VC1Parse, vc1_parse, VC1, PARSE, GstElement)

gboolean vc1_parse_register(GstPlugin *plugin);

G_END_DECLS
