#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define TYPE_MPEG_PARSE_BIN (mpeg_parse_bin_get_type())
G_DECLARE_FINAL_TYPE(MpegParseBin, mpeg_parse_bin, MPEG, PARSE_BIN, GstBin)
#define TYPE_MPEG4_PARSE_BIN (mpeg4_parse_bin_get_type())
G_DECLARE_FINAL_TYPE(Mpeg4ParseBin, mpeg4_parse_bin, MPEG4, PARSE_BIN, GstBin)
#define TYPE_H264_PARSE_BIN (h264_parse_bin_get_type())
G_DECLARE_FINAL_TYPE(H264ParseBin, h264_parse_bin, H264, PARSE_BIN, GstBin)
#define TYPE_H265_PARSE_BIN (h265_parse_bin_get_type())
G_DECLARE_FINAL_TYPE(H265ParseBin, h265_parse_bin, H265, PARSE_BIN, GstBin)

// Demotes the stock video parsers to rank NONE and registers the four bins at PRIMARY.
gboolean video_parse_bin_register(GstPlugin *plugin);

G_END_DECLS
