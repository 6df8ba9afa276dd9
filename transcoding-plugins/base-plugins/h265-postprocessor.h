#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_H265_POSTPROCESSOR (gst_h265_postprocessor_get_type())
G_DECLARE_FINAL_TYPE(GstH265Postprocessor, gst_h265_postprocessor, GST, H265_POSTPROCESSOR,
                     GstElement)

gboolean h265_postprocessor_register(GstPlugin *plugin);

G_END_DECLS
