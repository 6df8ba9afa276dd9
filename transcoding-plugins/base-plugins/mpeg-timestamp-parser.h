#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define TYPE_MPEG_TIMESTAMP_PARSER (mpeg_timestamp_parser_get_type())
G_DECLARE_FINAL_TYPE(MpegTimestampParser, mpeg_timestamp_parser, MPEG, TIMESTAMP_PARSER,
                     GstElement)

gboolean mpeg_timestamp_parser_register(GstPlugin *plugin);

G_END_DECLS
