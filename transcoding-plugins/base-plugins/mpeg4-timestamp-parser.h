#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define TYPE_MPEG4_TIMESTAMP_PARSER (mpeg4_timestamp_parser_get_type())
G_DECLARE_FINAL_TYPE(Mpeg4TimestampParser, mpeg4_timestamp_parser, MPEG4, TIMESTAMP_PARSER,
                     GstElement)

gboolean mpeg4_timestamp_parser_register(GstPlugin *plugin);

G_END_DECLS
