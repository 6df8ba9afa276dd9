#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_H264_POSTPROCESSOR (gst_h264_postprocessor_get_type())
G_DECLARE_FINAL_TYPE(GstH264Postprocessor, gst_h264_postprocessor, GST, H264_POSTPROCESSOR,
                     GstElement)

gboolean h264_postprocessor_register(GstPlugin *plugin);

G_END_DECLS

// Parameter set ids of an SPS or PPS NAL unit (header byte first); 255 when unreadable.
guint8 get_sps_id(const guint8 *data, gsize size);
guint8 get_pps_id(const guint8 *data, gsize size);
