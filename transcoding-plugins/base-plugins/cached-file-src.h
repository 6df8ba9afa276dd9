#pragma once

#include <gst/base/gstbasesrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define CACHED_TYPE_FILE_SRC (cached_file_src_get_type())
G_DECLARE_FINAL_TYPE(CachedFileSrc, cached_file_src, CACHED, FILE_SRC, GstBaseSrc)

gboolean cached_file_src_register(GstPlugin *plugin);

G_END_DECLS
